#include "fast/ordered_work.h"

#include <algorithm>

namespace yf::fast {

HelperThreads::HelperThreads(int count) : m_count(std::max(count, 0))
{
    for (int worker = 0; worker < m_count; ++worker)
        m_threads.emplace_back([this, worker] { serve(worker); });
}

HelperThreads::~HelperThreads()
{
    {
        const std::lock_guard lock(m_mutex);
        m_quitting = true;
        m_workReady.notify_all();
    }
    for (std::thread &thread : m_threads)
        thread.join();
}

void HelperThreads::start(detail::OrderedSchedule *work)
{
    const std::lock_guard lock(m_mutex);
    Q_ASSERT(m_busy == 0);
    m_work = work;
    m_busy = m_count;
    ++m_started;
    m_workReady.notify_all();
}

void HelperThreads::waitUntilIdle()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [&] { return m_busy == 0; });
    m_work = nullptr;
}

void HelperThreads::serve(int worker)
{
    std::uint64_t done = 0;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_workReady.wait(lock, [&] { return m_quitting || m_started != done; });
        if (m_quitting)
            return;
        done = m_started;
        detail::OrderedSchedule *work = m_work;
        lock.unlock();
        work->work(worker);
        lock.lock();
        if (--m_busy == 0)
            m_idle.notify_one();
    }
}

namespace detail {

OrderedSchedule::OrderedSchedule(HelperThreads &threads, qsizetype first, qsizetype end, qsizetype depth)
    : m_threads(threads)
    , m_end(end)
    , m_helped(threads.count() > 0)
    , m_batch(1)
    , m_madeIndex(static_cast<std::size_t>(m_helped ? std::max<qsizetype>(depth, 1) : 0), -1)
    , m_nextToMake(first)
    , m_taken(first)
{
    m_batch = std::max<qsizetype>(1, static_cast<qsizetype>(m_madeIndex.size()) / 2);
}

void OrderedSchedule::begin()
{
    if (!m_helped || m_nextToMake >= m_end)
        return;
    m_begun = true;
    m_threads.start(this);
}

void OrderedSchedule::finish()
{
    stop();
    if (m_begun)
        m_threads.waitUntilIdle();
    m_begun = false;
}

void OrderedSchedule::stop()
{
    const std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_room.notify_all();
}

bool OrderedSchedule::madeFromTo(qsizetype from, qsizetype to) const
{
    const auto depth = static_cast<qsizetype>(m_madeIndex.size());
    for (qsizetype index = from; index <= to; ++index) {
        if (m_madeIndex[static_cast<std::size_t>(index % depth)] != index)
            return false;
    }
    return true;
}

void OrderedSchedule::work(int worker)
{
    const auto depth = static_cast<qsizetype>(m_madeIndex.size());
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (!m_stopping && m_nextToMake < m_end && m_nextToMake >= m_taken + depth) {
            // Every slot is taken: come back when a batch of them is free.
            ++m_helpersWaiting;
            m_room.wait(lock, [&] {
                return m_stopping || m_nextToMake >= m_end || m_nextToMake + m_batch <= m_taken + depth;
            });
            --m_helpersWaiting;
        }
        if (m_stopping || m_nextToMake >= m_end)
            return;
        const qsizetype index = m_nextToMake++;
        const auto at = static_cast<std::size_t>(index % depth);
        lock.unlock();
        makeInto(worker, index, at);  // the slot is this helper's alone until it is marked made
        lock.lock();
        m_madeIndex[at] = index;
        if (m_waitTo >= 0 && madeFromTo(m_waitFrom, m_waitTo))
            m_made.notify_one();
    }
}

std::size_t OrderedSchedule::claim(qsizetype index)
{
    const auto depth = static_cast<qsizetype>(m_madeIndex.size());
    const auto at = static_cast<std::size_t>(index % depth);
    std::unique_lock lock(m_mutex);
    if (index > m_taken) {
        // The previous item is done with: its slot may take the item `depth` further on.
        m_madeIndex[static_cast<std::size_t>((index - 1) % depth)] = -1;
        m_taken = index;
        if (m_helpersWaiting > 0 && m_nextToMake + m_batch <= m_taken + depth)
            m_room.notify_all();
    }
    if (m_madeIndex[at] != index) {
        // Helpers are behind: wait for a batch, not for each item. Every item of it has been
        // started, or will be, since the window reaches past it.
        m_waitFrom = index;
        m_waitTo = std::min(index + m_batch, m_end) - 1;
        m_made.wait(lock, [&] { return madeFromTo(m_waitFrom, m_waitTo); });
        m_waitFrom = m_waitTo = -1;
    }
    return at;
}

} // namespace detail

} // namespace yf::fast
