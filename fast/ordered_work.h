// Helper threads for a whole run, and work handed to them whose results the caller takes in order.
#pragma once

#include <QtGlobal>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace yf::fast {

namespace detail {
class OrderedSchedule;
}

// The helper threads of one run; both the scan and the feeds hand their work to them. They
// are started once and wait between pieces of work, so a run pays for starting them once.
class HelperThreads {
public:
    explicit HelperThreads(int count);  // 0: every item is made on the calling thread
    ~HelperThreads();                    // joins
    HelperThreads(const HelperThreads &) = delete;
    HelperThreads &operator=(const HelperThreads &) = delete;

    int count() const { return m_count; }
    int workers() const { return count() > 0 ? count() : 1; }  // worker ids are 0..workers()-1

private:
    friend class detail::OrderedSchedule;
    // Every helper runs `work`'s share once; only one piece of work at a time.
    void start(detail::OrderedSchedule *work);
    // Returns once every helper is done with what start() gave it.
    void waitUntilIdle();
    void serve(int worker);

    const int m_count;
    std::mutex m_mutex;
    std::condition_variable m_workReady;  // helpers wait here between pieces of work
    std::condition_variable m_idle;       // waitUntilIdle() waits here
    detail::OrderedSchedule *m_work = nullptr;
    std::uint64_t m_started = 0;  // pieces of work started so far
    int m_busy = 0;               // helpers still on the current piece
    bool m_quitting = false;
    std::vector<std::thread> m_threads;
};

namespace detail {

// Which item each helper makes next and when each side waits; OrderedWork adds the items.
class OrderedSchedule {
public:
    OrderedSchedule(const OrderedSchedule &) = delete;
    OrderedSchedule &operator=(const OrderedSchedule &) = delete;

    void stop();  // no item is started after this

protected:
    OrderedSchedule(HelperThreads &threads, qsizetype first, qsizetype end, qsizetype depth);
    ~OrderedSchedule() = default;

    bool helped() const { return m_helped; }
    std::size_t slotCount() const { return m_madeIndex.size(); }
    // Hands the items to the helpers; called once the slots exist.
    void begin();
    // stop(), then waits until no helper works on these items any more.
    void finish();
    // Waits until item `index` is made and returns its slot, which is the caller's until the
    // next call; the slot of the item taken before is free from now on.
    std::size_t claim(qsizetype index);
    // Makes item `index` into slot `at`, on helper `worker`.
    virtual void makeInto(int worker, qsizetype index, std::size_t at) = 0;

private:
    friend class yf::fast::HelperThreads;
    void work(int worker);
    bool madeFromTo(qsizetype from, qsizetype to) const;

    HelperThreads &m_threads;
    const qsizetype m_end;
    const bool m_helped;
    bool m_begun = false;
    // Each wake-up costs a system call and a switch of threads, so each side is woken for a
    // batch: the caller once the next `m_batch` items are made, a helper once as many slots are free.
    qsizetype m_batch;
    std::mutex m_mutex;
    std::condition_variable m_made;  // the caller waits here
    std::condition_variable m_room;  // helpers wait here
    qsizetype m_waitFrom = -1;       // the caller waits for every item from here ...
    qsizetype m_waitTo = -1;         // ... to here, made; -1 when it does not wait
    int m_helpersWaiting = 0;
    std::vector<qsizetype> m_madeIndex;  // per slot, the index it holds, or -1 while empty
    qsizetype m_nextToMake;              // the next index a helper starts on
    qsizetype m_taken;                   // the slots of every index below this are free
    bool m_stopping = false;
};

} // namespace detail

// Items first..end-1 made by `make(worker, index)` on the helpers, at most `depth` ahead of the
// last one taken, and taken by the caller strictly in order; without helpers take() makes the
// item on the calling thread. So the caller decides everything that depends on order (which
// failure stops the work, what is counted, what is reported) as if it had made each item just
// before taking it, and the results are those of a run on one thread. An item made and never
// taken is simply destroyed: its destructor undoes what it holds (removes a temporary file, say).
template <typename T>
class OrderedWork : public detail::OrderedSchedule {
public:
    using Make = std::function<T(int worker, qsizetype index)>;

    OrderedWork(HelperThreads &threads, qsizetype first, qsizetype end, qsizetype depth, Make make)
        : OrderedSchedule(threads, first, end, depth), m_make(std::move(make)), m_slots(slotCount())
    {
        begin();
    }
    // stop(), waits for items in progress, destroys the made items not taken
    ~OrderedWork() { finish(); }

    // first, first+1, ... none left out; not after stop().
    T take(qsizetype index)
    {
        if (!helped())
            return m_make(0, index);
        std::optional<T> &slot = m_slots[claim(index)];
        T item = std::move(*slot);
        slot.reset();
        return item;
    }

private:
    void makeInto(int worker, qsizetype index, std::size_t at) override
    {
        m_slots[at].emplace(m_make(worker, index));
    }

    const Make m_make;
    std::vector<std::optional<T>> m_slots;
};

} // namespace yf::fast
