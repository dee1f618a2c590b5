// Reads with a deadline: each read runs on a thread of its own while the
// caller waits at most the deadline, asking between short naps whether to
// stop. A read that does not answer in time is left behind on its thread,
// which then ends by itself whenever the kernel lets the read go; the next
// read gets a new thread, after waiting one more deadline at most for the one
// left behind (a drive busy with it would make the next one late too). A dying disk may hang a request for minutes, and
// nothing above this waits for it.
#pragma once

#include "source.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace korvath {

enum class ReadOutcome {
    Whole,     // every sector asked for
    Short,     // fewer bytes than asked (a bad sector, or the end)
    Failed,    // nothing: the source answered with an error
    TimedOut,  // no answer within the deadline: the read was left behind
    Cancelled, // the caller asked to stop while waiting: the read was left behind
};

struct TimedRead {
    ReadOutcome outcome = ReadOutcome::Failed;
    uint32_t bytes = 0; // delivered into the buffer (Whole, Short)
};

class DeadlineReader
{
public:
    // `stop` is asked from the waiting thread every few tens of milliseconds:
    // it must be safe to call from any thread. The source must outlive the
    // reader and any read it left behind (it is read, nothing else): `owner`,
    // when given, is held by every read thread until it ends, so that a read
    // left behind keeps its source alive after everyone else let go of it.
    DeadlineReader(const SectorSource &source, int timeoutMs, std::function<bool()> stop = {},
                   std::shared_ptr<const void> owner = {});
    ~DeadlineReader();
    DeadlineReader(const DeadlineReader &) = delete;
    DeadlineReader &operator=(const DeadlineReader &) = delete;

    TimedRead read(uint64_t sector, void *buffer, uint32_t count);
    bool stopRequested() const { return m_stop && m_stop(); }
    const SectorSource &source() const { return m_source; }
    int timeoutMs() const { return m_timeoutMs; }
    uint64_t leftBehind() const { return m_leftBehind; } // reads abandoned so far
    uint64_t timedOut() const { return m_timedOut; }     // of those, the ones that missed their deadline

    struct Worker; // shared by the reader and its thread
private:
    void abandon(bool timedOut);
    bool waitForBehind(); // false when a stop came first

    const SectorSource &m_source;
    const int m_timeoutMs;
    std::function<bool()> m_stop;
    std::shared_ptr<const void> m_owner;
    std::shared_ptr<Worker> m_worker;
    std::shared_ptr<Worker> m_behind; // the last read left behind, until it answers or is given up on
    uint64_t m_leftBehind = 0;
    uint64_t m_timedOut = 0; // not those abandoned for a stop
};

} // namespace korvath
