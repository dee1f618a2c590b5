#include "deadlinereader.h"

#include "iobuffer.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace korvath {

// Everything the thread touches lives here, owned jointly: a thread left
// behind keeps its buffer alive and writes nowhere else.
struct DeadlineReader::Worker {
    const SectorSource *source = nullptr;
    std::shared_ptr<const void> owner; // of the source, when one was given
    std::mutex mutex;
    std::condition_variable changed;
    IoBytes buffer;
    uint64_t sector = 0;
    uint32_t count = 0;
    uint32_t result = 0;
    bool job = false;
    bool done = false;
    bool quit = false;
};

namespace {

constexpr int kNapMs = 50; // how often a wait asks whether to stop

void serve(std::shared_ptr<DeadlineReader::Worker> w)
{
    std::unique_lock<std::mutex> lock(w->mutex);
    for (;;) {
        w->changed.wait(lock, [&] { return w->job || w->quit; });
        if (w->quit)
            return;
        const uint64_t sector = w->sector;
        const uint32_t count = w->count;
        lock.unlock();
        const uint32_t got = w->source->read(sector, w->buffer.data(), count);
        lock.lock();
        w->result = got;
        w->job = false;
        w->done = true;
        w->changed.notify_all();
    }
}

} // namespace

DeadlineReader::DeadlineReader(const SectorSource &source, int timeoutMs, std::function<bool()> stop,
                               std::shared_ptr<const void> owner)
    : m_source(source), m_timeoutMs(timeoutMs > 0 ? timeoutMs : 1), m_stop(std::move(stop)), m_owner(std::move(owner))
{
}

DeadlineReader::~DeadlineReader()
{
    if (!m_worker)
        return;
    {
        std::lock_guard<std::mutex> lock(m_worker->mutex);
        m_worker->quit = true;
    }
    m_worker->changed.notify_all();
}

void DeadlineReader::abandon(bool timedOut)
{
    {
        std::lock_guard<std::mutex> lock(m_worker->mutex);
        m_worker->quit = true; // ends the thread once the read comes back
    }
    m_behind = std::move(m_worker);
    ++m_leftBehind;
    m_timedOut += timedOut ? 1 : 0;
}

bool DeadlineReader::waitForBehind()
{
    // A drive answers one request at a time: while the read left behind is
    // still with it, the next one would wait behind it and miss its own
    // deadline. One more deadline for it, then it is given up on for good.
    std::shared_ptr<Worker> behind = std::move(m_behind);
    if (!behind)
        return true;
    std::unique_lock<std::mutex> lock(behind->mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timeoutMs);
    while (!behind->done) {
        const auto now = std::chrono::steady_clock::now();
        if (stopRequested())
            return false;
        if (now >= deadline)
            return true;
        behind->changed.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(kNapMs)));
    }
    return true;
}

TimedRead DeadlineReader::read(uint64_t sector, void *buffer, uint32_t count)
{
    if (stopRequested() || !waitForBehind())
        return {ReadOutcome::Cancelled, 0};
    if (!m_worker) {
        m_worker = std::make_shared<Worker>();
        m_worker->source = &m_source;
        m_worker->owner = m_owner;
        // Detached: a thread whose read hangs must not hold up anything,
        // the process's exit included.
        std::thread(serve, m_worker).detach();
    }
    Worker &w = *m_worker;
    const size_t bytes = static_cast<size_t>(count) * kSectorSize;
    std::unique_lock<std::mutex> lock(w.mutex);
    if (w.buffer.size() < bytes)
        w.buffer.resize(bytes);
    w.sector = sector;
    w.count = count;
    w.done = false;
    w.job = true;
    w.changed.notify_all();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_timeoutMs);
    while (!w.done) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline || stopRequested()) {
            const ReadOutcome why = now >= deadline ? ReadOutcome::TimedOut : ReadOutcome::Cancelled;
            lock.unlock();
            abandon(why == ReadOutcome::TimedOut);
            return {why, 0};
        }
        w.changed.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(kNapMs)));
    }
    w.done = false;
    if (w.result == kReadFailed || w.result == 0)
        return {ReadOutcome::Failed, 0};
    const uint32_t got = static_cast<uint32_t>(std::min<size_t>(w.result, bytes));
    std::memcpy(buffer, w.buffer.data(), got);
    return {got == bytes ? ReadOutcome::Whole : ReadOutcome::Short, got};
}

} // namespace korvath
