// Reads the clusters of a recording on a thread of their own, a few ahead of
// the caller who hashes and writes them, so the source drive never waits for
// the destination. Memory stays `depth` buffers whatever the length.
#pragma once

#include "iobuffer.h"
#include "layout.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace korvath {

struct ClusterRead {
    uint32_t unreadableSectors = 0;
    bool stop = false; // the source is gone (e.g. the device stopped answering): this cluster and the rest are not delivered
};

// Fills `buffer` (bufferBytes long, page-aligned) with cluster `index` of the
// list; runs on the reader thread. May throw: the consumer gets the exception.
using ClusterReadFn = std::function<ClusterRead(size_t index, uint8_t *buffer)>;

class ClusterReadAhead
{
public:
    struct Slot {
        size_t index = 0; // position in the cluster list
        const uint8_t *bytes = nullptr;
        uint32_t unreadableSectors = 0;
    };

    enum class State {
        Running,   // clusters may still come
        Complete,  // all clusterCount delivered
        Stopped,   // the read function said stop at stopIndex()
        Failed,    // the read function threw at stopIndex(); next() rethrows
        Cancelled, // the consumer gave up
    };

    // Starts the reader thread at once; throws std::bad_alloc when the buffers
    // cannot be had. Smaller buffers are for the tests.
    ClusterReadAhead(size_t clusterCount, ClusterReadFn read, size_t depth = 4, size_t bufferBytes = kClusterBytes);
    ~ClusterReadAhead(); // cancels and joins
    ClusterReadAhead(const ClusterReadAhead &) = delete;
    ClusterReadAhead &operator=(const ClusterReadAhead &) = delete;

    // The next cluster in order, waiting for it; gives back the one held
    // before. Null when no more will come (see state()); rethrows what the
    // read function threw once every cluster before it was taken.
    const Slot *next();
    // Gives the held buffer back to the reader early.
    void release();
    // Stops the reader after the cluster it is reading and joins it; next()
    // returns null from then on. Safe to call more than once.
    void cancel();

    State state() const;
    size_t stopIndex() const; // the cluster that stopped or failed the reader
    size_t taken() const;     // clusters handed out by next()

private:
    void run();
    void releaseLocked();

    const size_t m_count;
    const ClusterReadFn m_read;
    std::vector<IoBytes> m_buffers;
    std::vector<Slot> m_slots;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    size_t m_filled = 0;   // clusters the reader has finished
    size_t m_taken = 0;    // clusters handed to the consumer
    size_t m_released = 0; // clusters given back
    bool m_holding = false;
    bool m_cancel = false;
    bool m_readerDone = false;
    State m_state = State::Running;
    size_t m_stopIndex = 0;
    std::exception_ptr m_error;
    std::thread m_thread;
};

} // namespace korvath
