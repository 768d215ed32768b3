#include "generate/look_ahead.h"

#include <algorithm>

namespace yf {

LookAhead::LookAhead(qsizetype first, qsizetype end, int helpers, qsizetype depth, Make make, Drop drop)
    : m_end(end)
    , m_make(std::move(make))
    , m_drop(std::move(drop))
    , m_slots(static_cast<std::size_t>(helpers > 0 ? std::max<qsizetype>(depth, 1) : 1))
    , m_batch(std::max<qsizetype>(1, static_cast<qsizetype>(m_slots.size()) / 2))
    , m_madeIndex(m_slots.size(), -1)
    , m_nextToMake(first)
    , m_taken(first)
{
    for (int worker = 0; worker < helpers && first < end; ++worker)
        m_helpers.emplace_back([this, worker] { work(worker); });
}

LookAhead::~LookAhead()
{
    stop();
    for (std::thread &helper : m_helpers)
        helper.join();
    if (!m_drop)
        return;
    for (std::size_t at = 0; at < m_slots.size(); ++at) {
        if (m_madeIndex[at] > m_lastTaken)
            m_drop(m_slots[at]);
    }
}

void LookAhead::stop()
{
    const std::lock_guard lock(m_mutex);
    m_stopping = true;
    m_room.notify_all();
}

bool LookAhead::madeFromTo(qsizetype from, qsizetype to) const
{
    const auto depth = static_cast<qsizetype>(m_slots.size());
    for (qsizetype index = from; index <= to; ++index) {
        if (m_madeIndex[static_cast<std::size_t>(index % depth)] != index)
            return false;
    }
    return true;
}

void LookAhead::work(int worker)
{
    const auto depth = static_cast<qsizetype>(m_slots.size());
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
        m_make(worker, index, m_slots[at]);  // the slot is this helper's alone until it is marked made
        lock.lock();
        m_madeIndex[at] = index;
        if (m_waitTo >= 0 && madeFromTo(m_waitFrom, m_waitTo))
            m_made.notify_one();
    }
}

LookAhead::Slot &LookAhead::take(qsizetype index)
{
    if (m_helpers.empty()) {
        Slot &slot = m_slots.front();
        slot.status = {};
        m_make(0, index, slot);
        m_lastTaken = index;
        return slot;
    }
    const auto depth = static_cast<qsizetype>(m_slots.size());
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
    m_lastTaken = index;
    return m_slots[at];
}

} // namespace yf
