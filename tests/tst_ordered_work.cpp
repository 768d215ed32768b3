// Ordered work on helper threads: taken in order, never too far ahead, stopped cleanly, nothing lost or freed twice.
#include "fast/ordered_work.h"
#include "runtime/error.h"

#include <QtTest>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

using yf::fast::HelperThreads;
using yf::fast::OrderedWork;

namespace {

// A move-only item that counts its own ends, as a made feed removes its temporary file once.
struct Tracked {
    struct Counts {
        std::mutex mutex;
        std::multiset<qsizetype> ended;  // the index of every item that ended holding something
    };
    Counts *counts = nullptr;
    qsizetype index = -1;
    yf::Status status;
    QByteArray text;
    std::unique_ptr<int> owned;  // makes the type move-only

    Tracked(Counts *c, qsizetype i) : counts(c), index(i), owned(std::make_unique<int>(0)) {}
    Tracked(Tracked &&other) noexcept
        : counts(std::exchange(other.counts, nullptr)), index(other.index), status(std::move(other.status)),
          text(std::move(other.text)), owned(std::move(other.owned))
    {
    }
    Tracked &operator=(Tracked &&) = delete;
    ~Tracked()
    {
        if (!counts)
            return;
        const std::lock_guard lock(counts->mutex);
        counts->ended.insert(index);
    }
};

} // namespace

class TestOrderedWork : public QObject {
    Q_OBJECT
private slots:
    void takesEveryItemInOrder_data();
    void takesEveryItemInOrder();
    void endsEveryItemOnceWhenStoppedEarly_data();
    void endsEveryItemOnceWhenStoppedEarly();
    void staysWithinItsDepth();
    void stopEndsTheHelpersEarly();
    void servesOneWorkAfterAnother();
};

void TestOrderedWork::takesEveryItemInOrder_data()
{
    QTest::addColumn<int>("helpers");
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("count");
    QTest::newRow("on the caller's thread") << 0 << 4 << 50;
    QTest::newRow("one helper, one slot") << 1 << 1 << 50;
    QTest::newRow("one helper, some slots") << 1 << 5 << 200;
    QTest::newRow("two helpers, some slots") << 2 << 3 << 200;
    QTest::newRow("two helpers, more slots than items") << 2 << 16 << 5;
    QTest::newRow("two helpers, an odd count of slots") << 2 << 9 << 203;
    QTest::newRow("two helpers, sixteen slots, a last batch cut short") << 2 << 16 << 203;
    QTest::newRow("three helpers, two slots") << 3 << 2 << 101;
    QTest::newRow("nothing to make") << 2 << 4 << 0;
}

void TestOrderedWork::takesEveryItemInOrder()
{
    QFETCH(int, helpers);
    QFETCH(int, depth);
    QFETCH(int, count);
    HelperThreads threads(helpers);
    QCOMPARE(threads.count(), helpers);
    QCOMPARE(threads.workers(), helpers > 0 ? helpers : 1);
    std::atomic<int> badWorker{0};
    Tracked::Counts counts;
    {
        OrderedWork<Tracked> work(threads, 1, 1 + count, depth, [&](int worker, qsizetype index) {
            if (worker < 0 || worker >= threads.workers())
                ++badWorker;
            Tracked item(&counts, index);
            // Every other item fails, and the texts differ in length so a stale byte would show.
            if (index % 2 == 0)
                item.status = yf::Error::failure(yf::ErrorKind::ListFolder, "odd");
            item.text = QByteArray(int(index % 7), 'x') + QByteArray::number(index);
            return item;
        });
        for (qsizetype index = 1; index <= count; ++index) {
            const Tracked item = work.take(index);
            QCOMPARE(item.index, index);
            QCOMPARE(item.text, QByteArray(int(index % 7), 'x') + QByteArray::number(index));
            QCOMPARE(item.status.ok(), index % 2 == 1);
        }
    }
    QCOMPARE(badWorker.load(), 0);
    QCOMPARE(counts.ended.size(), std::size_t(count));  // each taken item ended once, with the caller
    for (qsizetype index = 1; index <= count; ++index)
        QCOMPARE(counts.ended.count(index), std::size_t(1));
}

void TestOrderedWork::endsEveryItemOnceWhenStoppedEarly_data()
{
    QTest::addColumn<int>("helpers");
    QTest::addColumn<int>("depth");
    QTest::addColumn<int>("taken");
    QTest::addColumn<bool>("stopFirst");
    QTest::newRow("none taken, destroyed at once") << 2 << 8 << 0 << false;
    QTest::newRow("some taken, destroyed") << 2 << 8 << 5 << false;
    QTest::newRow("some taken, stopped, then destroyed") << 2 << 7 << 5 << true;
    QTest::newRow("one helper, one slot, stopped") << 1 << 1 << 3 << true;
    QTest::newRow("on the caller's thread, stopped") << 0 << 8 << 5 << true;
}

void TestOrderedWork::endsEveryItemOnceWhenStoppedEarly()
{
    // Whatever was made ends exactly once, taken or not: a made feed that is never put in
    // place must remove its temporary file, and only once.
    QFETCH(int, helpers);
    QFETCH(int, depth);
    QFETCH(int, taken);
    QFETCH(bool, stopFirst);
    HelperThreads threads(helpers);
    Tracked::Counts counts;
    std::atomic<qsizetype> made{0};
    std::mutex madeMutex;
    std::set<qsizetype> madeIndices;
    {
        OrderedWork<Tracked> work(threads, 0, 1000, depth, [&](int, qsizetype index) {
            ++made;
            {
                const std::lock_guard lock(madeMutex);
                madeIndices.insert(index);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            return Tracked(&counts, index);
        });
        for (qsizetype index = 0; index < taken; ++index)
            QCOMPARE(work.take(index).index, index);
        if (stopFirst)
            work.stop();
    }
    // Nothing is made after the end, and only the window's worth past the last taken.
    const qsizetype afterEnd = made.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    QCOMPARE(made.load(), afterEnd);
    QVERIFY2(afterEnd <= taken + std::max(depth, 1) + helpers, qPrintable(QString::number(afterEnd)));
    const std::lock_guard lock(counts.mutex);
    QCOMPARE(counts.ended.size(), madeIndices.size());
    for (qsizetype index : madeIndices)
        QCOMPARE(counts.ended.count(index), std::size_t(1));
}

void TestOrderedWork::staysWithinItsDepth()
{
    // While the caller dawdles, no item is started `depth` or more past the one it holds.
    constexpr int depth = 4;
    std::atomic<qsizetype> held{0};
    std::atomic<qsizetype> furthest{0};
    std::atomic<int> tooFar{0};
    HelperThreads threads(2);
    {
        OrderedWork<qsizetype> work(threads, 0, 60, depth, [&](int, qsizetype index) {
            if (index >= held.load() + depth)
                ++tooFar;
            qsizetype seen = furthest.load();
            while (index > seen && !furthest.compare_exchange_weak(seen, index)) {
            }
            return index;
        });
        for (qsizetype index = 0; index < 60; ++index) {
            held = index;
            QCOMPARE(work.take(index), index);
            if (index % 10 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    QCOMPARE(tooFar.load(), 0);
    QCOMPARE(furthest.load(), qsizetype(59));
}

void TestOrderedWork::stopEndsTheHelpersEarly()
{
    constexpr int depth = 6;
    std::atomic<qsizetype> made{0};
    HelperThreads threads(2);
    {
        OrderedWork<int> work(threads, 0, 100000, depth, [&](int, qsizetype) {
            ++made;
            return 0;
        });
        for (qsizetype index = 0; index < 3; ++index)
            (void)work.take(index);
        work.stop();
    }  // returns only once the helpers are done with it
    QVERIFY(made.load() <= 3 + depth);
}

void TestOrderedWork::servesOneWorkAfterAnother()
{
    // The same helpers serve work after work, short and long, stopped or run to the end, as a
    // run's scan batches and then its feeds do; each sees only its own items.
    HelperThreads threads(2);
    for (int round = 0; round < 200; ++round) {
        const qsizetype count = round % 3 == 0 ? 1 : round % 50;
        std::atomic<int> foreign{0};
        OrderedWork<qsizetype> work(threads, 0, count, 1 + round % 5, [&, round](int, qsizetype index) {
            if (index < 0 || index >= count)
                ++foreign;
            return index * 1000 + round;
        });
        const qsizetype takeUpTo = round % 4 == 0 ? count / 2 : count;
        for (qsizetype index = 0; index < takeUpTo; ++index)
            QCOMPARE(work.take(index), index * 1000 + round);
        QCOMPARE(foreign.load(), 0);
    }
}

QTEST_GUILESS_MAIN(TestOrderedWork)
#include "tst_ordered_work.moc"
