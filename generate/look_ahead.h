// Makes the next items of a sequence on helper threads while the caller takes them in order.
#pragma once

#include "runtime/error.h"

#include <QByteArray>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace yf {

// Items first..end-1 are made by `make` and taken by the caller strictly in order, so the
// caller decides everything that depends on order (which failure stops the work, what is
// counted, what is reported) exactly as if it made each item itself just before taking it.
// With helpers, each item is made on one of them, at most `depth` items past the last one
// taken; without, take() makes the item on the caller's thread. Either way `make` gets the
// same slot contents for the same index, so the results are the same bytes.
class LookAhead {
public:
    struct Slot {
        Status status;    // whether the item could be made
        QByteArray text;  // its bytes; the capacity is kept from item to item
        // What `make` did beyond the bytes, for the caller to finish: the item was where it
        // belongs already, or it waits at `readied` (a file beside its place, say).
        bool inPlace = false;
        QByteArray readied;
    };
    // worker (0..max(helpers, 1)-1) lets `make` use state of its own per thread.
    using Make = std::function<void(int worker, qsizetype index, Slot &slot)>;
    // Undoes what `make` left in a slot that is never taken.
    using Drop = std::function<void(Slot &slot)>;

    LookAhead(qsizetype first, qsizetype end, int helpers, qsizetype depth, Make make, Drop drop = {});
    ~LookAhead();  // stop(), waits for the helpers, then drops every item made and not taken
    LookAhead(const LookAhead &) = delete;
    LookAhead &operator=(const LookAhead &) = delete;

    // Item `index`, once made. Indices go first, first + 1, ... with none left out; taking
    // one hands the previous one's slot back. Valid until the next take() or stop().
    Slot &take(qsizetype index);
    // No item is started after this; one being made is finished and dropped.
    void stop();

    static int workersFor(int helpers) { return helpers > 0 ? helpers : 1; }

private:
    void work(int worker);
    bool madeFromTo(qsizetype from, qsizetype to) const;

    const qsizetype m_end;
    const Make m_make;
    const Drop m_drop;
    std::vector<Slot> m_slots;
    // Each wake-up costs a system call and a switch of threads, so each side is woken for a batch:
    // the caller once the next `m_batch` items are made, a helper once as many slots are free.
    const qsizetype m_batch;
    std::mutex m_mutex;
    std::condition_variable m_made;  // the caller waits here
    std::condition_variable m_room;  // helpers wait here
    qsizetype m_waitFrom = -1;       // the caller waits for every item from here ...
    qsizetype m_waitTo = -1;         // ... to here, made; -1 when it does not wait
    int m_helpersWaiting = 0;
    std::vector<qsizetype> m_madeIndex;  // per slot, the index it holds, or -1 while empty
    qsizetype m_nextToMake;              // the next index a helper starts on
    qsizetype m_taken;                   // the slots of every index below this are free
    qsizetype m_lastTaken = -1;          // the latest index handed to the caller
    bool m_stopping = false;
    std::vector<std::thread> m_helpers;
};

} // namespace yf
