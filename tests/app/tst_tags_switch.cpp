// The window's tags switch: where it sits, what it starts as, what a run stores and takes
// from it, and that a run keeps it out of reach.
#include "app/main_window.h"
#include "fixture.h"
#include "main_window_fixture.h"
#include "media_fixture.h"

#include <QAction>
#include <QMenu>
#include <QStandardPaths>
#include <QTest>

using window_testing::BoxWatcher;
using window_testing::greyedDuringRun;
using window_testing::part;

class TestTagsSwitch : public MainWindowFixture {
    Q_OBJECT

    QTemporaryDir m_cache;  // the user's cache folder, so no test reaches the real one

    QAction *tagsAction(const yf::MainWindow &w) { return part<QAction>(w, "tagsAction"); }

    // The raw line the settings file holds for the switch, "" when there is none.
    QString storedTagsLine() const
    {
        for (const QByteArray &line : fixture::readFile(m_settings).split('\n')) {
            if (line.trimmed().toLower().startsWith("tags"))
                return QString::fromUtf8(line.trimmed());
        }
        return {};
    }

private slots:
    void initTestCase() { qputenv("XDG_CACHE_HOME", QFile::encodeName(m_cache.path())); }
    void init() { setUpTree(); }
    void cleanup() { tearDownTree(); }

    void sitsLastInTheActionsMenuAfterASeparator()
    {
        auto w = openWindow();
        QVERIFY(w);
        const QList<QAction *> actions = part<QMenu>(*w, "actionsMenu")->actions();
        QCOMPARE(actions.size(), 5);
        QCOMPARE(actions[2], part<QAction>(*w, "viewOutputAction"));
        QVERIFY(actions[3]->isSeparator());
        QAction *tags = tagsAction(*w);
        QCOMPARE(actions[4], tags);
        QCOMPARE(tags->text(), QStringLiteral("Episode Details from &Tags"));
        QVERIFY(tags->isCheckable());
        QVERIFY(tags->isEnabled());
        QVERIFY(!tags->isChecked());  // off without a settings file
        QVERIFY(tags->shortcut().isEmpty());
    }

    // Only the exact "1" switches tags on: anything else a hand may have written is off.
    void startsAsStored_data()
    {
        QTest::addColumn<QString>("settings");
        QTest::addColumn<bool>("checked");
        QTest::newRow("on") << "[OPTIONS]\nTags=1\n" << true;
        QTest::newRow("on, beside the directories") << "[RESTORE]\nInputDir=/nowhere-x\n[OPTIONS]\nTags=1\n" << true;
        QTest::newRow("section and key in other case") << "[options]\ntags=1\n" << true;
        QTest::newRow("off written out") << "[OPTIONS]\nTags=0\n" << false;
        QTest::newRow("a word, not 1") << "[OPTIONS]\nTags=yes\n" << false;
        QTest::newRow("key under another section") << "[RESTORE]\nTags=1\n" << false;
        QTest::newRow("no key") << "[OPTIONS]\n" << false;
    }
    void startsAsStored()
    {
        QFETCH(QString, settings);
        QFETCH(bool, checked);
        fixture::makeTree(m_root, {"config.ini=" + settings});
        QStringList boxes;
        auto w = openWindow(&boxes);
        QVERIFY(w);
        QCOMPARE(tagsAction(*w)->isChecked(), checked);
        QCOMPARE(w->runRequest().readTags, checked);
    }

    // The request follows the item as the user flips it, and names the cache in the user's
    // cache folder for the program.
    void theRunRequestCarriesTheSwitch()
    {
        auto w = openWindow();
        QVERIFY(w);
        QAction *tags = tagsAction(*w);
        QVERIFY(!w->runRequest().readTags);
        tags->trigger();
        QVERIFY(tags->isChecked());
        QVERIFY(w->runRequest().readTags);
        tags->trigger();
        QVERIFY(!w->runRequest().readTags);
        const QString cacheDir = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
        QVERIFY2(cacheDir.startsWith(m_cache.path() + '/'), qPrintable(cacheDir));
        QCOMPARE(w->runRequest().tagCacheFile, cacheDir + "/tags.sqlite");
    }

    // The run the window starts reads the tags only with the switch on, and then keeps them in
    // the cache the request names.
    void aRunReadsTagsOnlyWhenSwitchedOn_data()
    {
        QTest::addColumn<bool>("on");
        QTest::addColumn<QString>("title");
        QTest::newRow("on: the tag's title") << true << "<title>A Tagged Title</title>";
        QTest::newRow("off: the file's name") << false << "<title>x.mp3</title>";
    }
    void aRunReadsTagsOnlyWhenSwitchedOn()
    {
        QFETCH(bool, on);
        QFETCH(QString, title);
        writeSettings(m_root + "/in", m_root + "/out");
        mediafixture::Tags tags;
        tags.title = QStringLiteral("A Tagged Title");
        QVERIFY(mediafixture::writeMp3(m_root + "/in/B/x.mp3", 2000, tags));
        auto w = openWindow();
        QVERIFY(w);
        if (on)
            tagsAction(*w)->trigger();
        const QString cache = w->runRequest().tagCacheFile;
        QFile::remove(cache);
        QCOMPARE(window_testing::generateAndWait(*w).size(), 1);
        const QByteArray feed = fixture::readFile(m_root + "/out/-B-.xml");
        QVERIFY2(feed.contains(title.toUtf8()), feed.constData());
        QCOMPARE(feed.contains("<itunes:duration>2</itunes:duration>"), on);
        QCOMPARE(QFile::exists(cache), on);
    }

    // Each run stores the switch as it ran, like the directories: "1" when on, no line when off.
    void aRunStoresTheSwitch_data()
    {
        QTest::addColumn<QString>("before");  // the settings file's OPTIONS section before
        QTest::addColumn<bool>("flip");
        QTest::addColumn<QString>("stored");
        QTest::newRow("turned on") << "" << true << "Tags=1";
        QTest::newRow("turned off") << "[OPTIONS]\nTags=1\n" << true << "";
        QTest::newRow("left on") << "[OPTIONS]\nTags=1\n" << false << "Tags=1";
        QTest::newRow("left off") << "" << false << "";
        QTest::newRow("a stray value is cleared") << "[OPTIONS]\nTags=yes\n" << false << "";
    }
    void aRunStoresTheSwitch()
    {
        QFETCH(QString, before);
        QFETCH(bool, flip);
        fixture::makeTree(m_root, {"config.ini=[RESTORE]\nInputDir=" + m_root + "/in\nOutputDir=" + m_root
                                       + "/out\n" + before});
        auto w = openWindow();
        QVERIFY(w);
        if (flip)
            tagsAction(*w)->trigger();
        const QList<window_testing::BoxSeen> boxes = window_testing::generateAndWait(*w);
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes.first().title, QStringLiteral("Complete!"));
        QTEST(storedTagsLine(), "stored");
        QCOMPARE(fixture::setting("RESTORE", "InputDir", m_settings), m_root + "/in");

        // The next window starts as this run left it.
        const bool on = tagsAction(*w)->isChecked();
        w.reset();
        auto again = openWindow();
        QVERIFY(again);
        QCOMPARE(tagsAction(*again)->isChecked(), on);
    }

    // Flipping the item alone stores nothing: only a run remembers what it ran with.
    void flippingWithoutARunStoresNothing()
    {
        writeSettings(m_root + "/in", m_root + "/out");
        const QByteArray before = fixture::readFile(m_settings);
        auto w = openWindow();
        QVERIFY(w);
        tagsAction(*w)->trigger();
        w->close();
        QCOMPARE(fixture::readFile(m_settings), before);
    }

    // The greyed-out widgets stay those a run always greyed out; the item is out of reach
    // too, so the choice a run was started with is the one it stores, and it comes back after.
    void aRunDisablesTheSwitch()
    {
        writeSettings(m_root + "/in", m_root + "/out");
        fixture::makeTree(m_root, window_testing::tenShows("in/Many"));
        m_clock.delayMs = 40;
        auto w = openWindow();
        QVERIFY(w);
        QAction *tags = tagsAction(*w);
        tags->trigger();
        BoxWatcher boxes(*w);
        part<QAction>(*w, "generateAction")->trigger();
        QVERIFY(w->isRunning());
        QVERIFY(!tags->isEnabled());
        tags->trigger();  // a disabled action ignores it
        QVERIFY(tags->isChecked());
        QVERIFY(w->runRequest().readTags);

        QTRY_COMPARE_WITH_TIMEOUT(boxes.seen.size(), 1, 30000);
        QCOMPARE(boxes.seen.first().title, QStringLiteral("Complete!"));
        QCOMPARE(boxes.seen.first().greyedOut, greyedDuringRun());
        QTRY_VERIFY(!w->isRunning());
        QVERIFY(tags->isEnabled());
        QVERIFY(tags->isChecked());
        QCOMPARE(storedTagsLine(), QStringLiteral("Tags=1"));
    }
};

QTEST_MAIN(TestTagsSwitch)
#include "tst_tags_switch.moc"
