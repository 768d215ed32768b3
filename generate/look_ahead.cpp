#include "generate/look_ahead.h"

#include <algorithm>

namespace yf {

LookAhead::LookAhead(qsizetype first, qsizetype end, int helpers, qsizetype depth, Make make, Drop drop)
    : m_end(end)
    , m_make(std::move(make))
    , m_drop(std::move(drop))
    , m_slots(static_cast<std::size_t>(helpers > 0 ? std::max<qsizetype>(depth, 1) : 1))
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
    m_changed.notify_all();
}

void LookAhead::work(int worker)
{
    const auto depth = static_cast<qsizetype>(m_slots.size());
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return m_stopping || m_nextToMake >= m_end || m_nextToMake < m_taken + depth; });
        if (m_stopping || m_nextToMake >= m_end)
            return;
        const qsizetype index = m_nextToMake++;
        const auto at = static_cast<std::size_t>(index % depth);
        lock.unlock();
        m_make(worker, index, m_slots[at]);  // the slot is this helper's alone until it is marked made
        lock.lock();
        m_madeIndex[at] = index;
        m_changed.notify_all();
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
        m_changed.notify_all();
    }
    m_changed.wait(lock, [&] { return m_madeIndex[at] == index; });
    m_lastTaken = index;
    return m_slots[at];
}

} // namespace yf
