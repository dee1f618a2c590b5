#include "readahead.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace korvath {

ClusterReadAhead::ClusterReadAhead(size_t clusterCount, ClusterReadFn read, size_t depth, size_t bufferBytes)
    : m_count(clusterCount)
    , m_read(std::move(read))
{
    if (depth == 0)
        throw std::invalid_argument("read-ahead depth 0");
    if (!m_read)
        throw std::invalid_argument("no read function");
    // Never more buffers than clusters: a short recording takes what it needs.
    const size_t n = std::max<size_t>(1, std::min(depth, clusterCount));
    m_buffers.resize(n);
    for (IoBytes &b : m_buffers)
        b.resize(bufferBytes);
    m_slots.resize(n);
    m_thread = std::thread(&ClusterReadAhead::run, this);
}

ClusterReadAhead::~ClusterReadAhead()
{
    cancel();
}

void ClusterReadAhead::run()
{
    const size_t depth = m_buffers.size();
    for (size_t k = 0; k < m_count; ++k) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [&] { return m_cancel || k - m_released < depth; });
            if (m_cancel)
                break;
        }
        // The buffer of cluster k is free: its last user released it, so the
        // reader fills it without the lock while the consumer works on others.
        uint8_t *buffer = m_buffers[k % depth].data();
        ClusterRead result;
        std::exception_ptr error;
        try {
            result = m_read(k, buffer);
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (error || result.stop) {
            m_error = error;
            m_stopIndex = k;
            m_state = error ? State::Failed : State::Stopped;
            break;
        }
        m_slots[k % depth] = Slot{k, buffer, result.unreadableSectors};
        ++m_filled;
        m_changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state == State::Running)
        m_state = m_cancel ? State::Cancelled : State::Complete;
    m_readerDone = true;
    m_changed.notify_all();
}

const ClusterReadAhead::Slot *ClusterReadAhead::next()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    releaseLocked();
    m_changed.wait(lock, [&] { return m_cancel || m_taken < m_filled || m_readerDone; });
    if (m_cancel)
        return nullptr;
    if (m_taken < m_filled) {
        const Slot *slot = &m_slots[m_taken % m_slots.size()];
        ++m_taken;
        m_holding = true;
        return slot;
    }
    if (m_error)
        std::rethrow_exception(m_error);
    return nullptr;
}

void ClusterReadAhead::releaseLocked()
{
    if (!m_holding)
        return;
    m_holding = false;
    ++m_released;
    m_changed.notify_all();
}

void ClusterReadAhead::release()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    releaseLocked();
}

void ClusterReadAhead::cancel()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancel = true;
        m_holding = false;
        m_changed.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_state == State::Running || (m_state == State::Complete && m_taken < m_count))
        m_state = State::Cancelled;
}

ClusterReadAhead::State ClusterReadAhead::state() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state;
}

size_t ClusterReadAhead::stopIndex() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stopIndex;
}

size_t ClusterReadAhead::taken() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_taken;
}

} // namespace korvath
