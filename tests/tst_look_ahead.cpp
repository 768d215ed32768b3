// Items made ahead on helper threads: taken in order, never too far ahead, stopped cleanly.
#include "generate/look_ahead.h"

#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

class TestLookAhead : public QObject {
    Q_OBJECT
private slots:
    void takesEveryItemInOrder_data();
    void takesEveryItemInOrder();
    void staysWithinItsDepth();
    void stopEndsTheHelpersEarly();
};

void TestLookAhead::takesEveryItemInOrder_data()
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
    QTest::newRow("nothing to make") << 2 << 4 << 0;
}

void TestLookAhead::takesEveryItemInOrder()
{
    QFETCH(int, helpers);
    QFETCH(int, depth);
    QFETCH(int, count);
    std::atomic<int> badWorker{0};
    {
        yf::LookAhead ahead(1, 1 + count, helpers, depth, [&](int worker, qsizetype index, yf::LookAhead::Slot &slot) {
            if (worker < 0 || worker >= yf::LookAhead::workersFor(helpers))
                ++badWorker;
            // Every other item fails, and the texts differ in length so a stale byte would show.
            slot.status = index % 2 ? yf::Status{} : yf::Status{yf::Error{yf::ErrorKind::ListFolder, "odd", {}, {}, 2}};
            slot.text.resize(0);
            slot.text.append(QByteArray(int(index % 7), 'x')).append(QByteArray::number(index));
        });
        for (qsizetype index = 1; index <= count; ++index) {
            const yf::LookAhead::Slot &slot = ahead.take(index);
            QCOMPARE(slot.text, QByteArray(int(index % 7), 'x') + QByteArray::number(index));
            QCOMPARE(slot.status.ok(), index % 2 == 1);
        }
    }
    QCOMPARE(badWorker.load(), 0);
}

void TestLookAhead::staysWithinItsDepth()
{
    // While the caller dawdles, no item is started `depth` or more past the one it holds.
    constexpr int depth = 4;
    std::atomic<qsizetype> held{0};
    std::atomic<qsizetype> furthest{0};
    std::atomic<int> tooFar{0};
    {
        yf::LookAhead ahead(0, 60, 2, depth, [&](int, qsizetype index, yf::LookAhead::Slot &slot) {
            if (index >= held.load() + depth)
                ++tooFar;
            qsizetype seen = furthest.load();
            while (index > seen && !furthest.compare_exchange_weak(seen, index)) {
            }
            slot.status = {};
        });
        for (qsizetype index = 0; index < 60; ++index) {
            held = index;
            (void)ahead.take(index);
            if (index % 10 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    QCOMPARE(tooFar.load(), 0);
    QCOMPARE(furthest.load(), qsizetype(59));
}

void TestLookAhead::stopEndsTheHelpersEarly()
{
    constexpr int depth = 6;
    std::atomic<qsizetype> made{0};
    {
        yf::LookAhead ahead(0, 100000, 2, depth, [&](int, qsizetype, yf::LookAhead::Slot &slot) {
            ++made;
            slot.status = {};
        });
        for (qsizetype index = 0; index < 3; ++index)
            (void)ahead.take(index);
        ahead.stop();
    }  // returns only once the helpers are gone
    QVERIFY(made.load() <= 3 + depth);
}

QTEST_GUILESS_MAIN(TestLookAhead)
#include "tst_look_ahead.moc"
