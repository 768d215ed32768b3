// A whole run: counts, when the settings are stored, collisions, failures and cancelling.
#include "feed/feed_names.h"
#include "generate/run_messages.h"
#include "run_fixture.h"

#include <QProcess>
#include <QScopeGuard>

namespace {

// What a run looked like from outside while it went: whether the settings file held the
// directories when the first folders were found and when the first feed was due.
class Watcher : public yf::RunObserver {
public:
    QString settingsPath;
    qsizetype cancelAfterFeeds = -1;
    bool storedWhileScanning = false;
    bool storedBeforeFirstFeed = false;
    bool sawScan = false;
    bool sawFeeds = false;

    void foldersFound(qsizetype) override
    {
        sawScan = true;
        storedWhileScanning = storedWhileScanning || QFile::exists(settingsPath);
    }
    void feedWritten(qsizetype done, qsizetype) override
    {
        if (!sawFeeds)
            storedBeforeFirstFeed = QFile::exists(settingsPath);
        sawFeeds = true;
        written = done;
    }
    bool cancelRequested() const override { return cancelAfterFeeds >= 0 && written >= cancelAfterFeeds; }

private:
    qsizetype written = 0;
};

struct Run : fixture::RunSetup {
    Watcher watcher;
    yf::RunOutcome outcome;

    Run() { watcher.settingsPath = settingsPath; }
    void command() { outcome = run(&watcher); }
};

} // namespace

class TestGenerate : public QObject {
    Q_OBJECT
private slots:
    void storesSettingsAfterScanBeforeFeeds();
    void countsFeedsAndFillsList_data();
    void countsFeedsAndFillsList();
    void everyCollidingFolderKeepsAFeed();
    void highlightedSubFolderChangesLinksOnly();
    void failingOutputKeepsSettingsAndReports();
    void missingInputStoresNothing_data();
    void missingInputStoresNothing();
    void cancelLeavesCompleteFeeds();
    void deepFoldersGetNamesThatFit();
    void outputInsideInputIsNotScanned();
    void unchangedTreeTouchesNoFeed();
    void refusedBaseUrlWritesNothing_data();
    void refusedBaseUrlWritesNothing();
    void messagesNameCountAndCause();
};

// The directories are remembered once the scan has succeeded and before any feed is written,
// so a run that fails while writing has stored them and one whose scan fails has not.
void TestGenerate::storesSettingsAfterScanBeforeFeeds()
{
    Run run;
    fixture::makeTree(run.request.inputDir, {"A/a.mp3", "B/"});
    run.command();
    QVERIFY(run.outcome.finished());
    QCOMPARE(run.outcome.feedsWritten, 2);
    QVERIFY(run.watcher.sawScan && run.watcher.sawFeeds);
    QVERIFY(!run.watcher.storedWhileScanning);
    QVERIFY(run.watcher.storedBeforeFirstFeed);
    QCOMPARE(run.stored("InputDir"), run.request.inputDir);
    QCOMPARE(run.stored("OutputDir"), run.request.outputDir);
    QCOMPARE(run.stored("BaseUrl"), QString());  // the default is not stored
    QCOMPARE(run.outcome.lastFeedAtSecs, qint64(1767517507));
}

void TestGenerate::countsFeedsAndFillsList_data()
{
    QTest::addColumn<QStringList>("tree");
    QTest::addColumn<QStringList>("feeds");
    QTest::newRow("no sub-folders") << QStringList{"a.mp3"} << QStringList{};
    QTest::newRow("three sub-folders, one holding two")
        << QStringList{"A/x/", "A/y/", "B/", "C/"}
        << QStringList{"-A-.xml", "-A-x-.xml", "-A-y-.xml", "-B-.xml", "-C-.xml"};
    QTest::newRow("hidden, read-only and linked folders get no feed")
        << QStringList{"Shown/", ".hidden/In/", "Locked/In/", "Locked/!555", "Link->Shown"}
        << QStringList{"-Shown-.xml"};
}

void TestGenerate::countsFeedsAndFillsList()
{
    QFETCH(QStringList, tree);
    QFETCH(QStringList, feeds);
    Run run;
    fixture::makeTree(run.request.inputDir, tree);
    // Give write permission back afterwards so the temporary directory can be removed.
    const auto restore = qScopeGuard([&] { QProcess::execute("chmod", {"-R", "u+w", run.tmp.path()}); });
    run.command();
    QVERIFY(run.outcome.finished());
    QCOMPARE(run.outcome.feedsWritten, feeds.size());
    QCOMPARE(run.feeds(), feeds);
    QCOMPARE(run.stored("InputDir"), run.request.inputDir);
    QCOMPARE(run.stored("OutputDir"), run.request.outputDir);

    // A second run counts the same feeds again, not on top of the first run's.
    run.command();
    QCOMPARE(run.outcome.feedsWritten, feeds.size());
    QCOMPARE(run.feeds(), feeds);
}

void TestGenerate::everyCollidingFolderKeepsAFeed()
{
    Run run;
    fixture::makeTree(run.request.inputDir, {"A-B/dash.mp3", "A/B/slash.mp3"});
    run.command();
    // A-B and A/B share a name; A/B comes later (deeper) and keeps it, A-B gets its own.
    const QString hashed = "-A-B-~" + QString::fromLatin1(yf::stableHash("/A-B/")) + ".xml";
    QCOMPARE(run.outcome.feedsWritten, 3);
    QCOMPARE(run.feeds(), (QStringList{"-A-.xml", "-A-B-.xml", hashed}));
    const QByteArray plain = fixture::readFile(run.request.outputDir + "/-A-B-.xml");
    QVERIFY(plain.contains("slash.mp3") && !plain.contains("dash.mp3"));
    const QByteArray other = fixture::readFile(run.request.outputDir + '/' + hashed);
    QVERIFY(other.contains("dash.mp3") && !other.contains("slash.mp3"));
    QVERIFY(other.contains("<title>" + hashed.chopped(4).toUtf8() + "</title>"));
    // The next run names them the same.
    run.command();
    QCOMPARE(run.feeds(), (QStringList{"-A-.xml", "-A-B-.xml", hashed}));
}

void TestGenerate::highlightedSubFolderChangesLinksOnly()
{
    Run run;
    fixture::makeTree(run.request.inputDir, {"Talks/ep.mp3"});
    run.request.linkEntry = run.request.inputDir + "/Talks";
    run.command();
    QCOMPARE(run.feeds(), QStringList{"-Talks-.xml"});
    const QByteArray text = fixture::readFile(run.request.outputDir + "/-Talks-.xml");
    QVERIFY2(text.contains("<link>http://127.0.0.1/Talks/ep.mp3</link>"), text.constData());
}

void TestGenerate::failingOutputKeepsSettingsAndReports()
{
    Run run;
    fixture::makeTree(run.request.inputDir, {"A/a.mp3", "B/b.mp3"});
    run.request.outputDir = run.tmp.path() + "/no such dir";
    run.command();
    QVERIFY(!run.outcome.finished());
    QCOMPARE(run.outcome.feedsWritten, 0);
    const yf::Error &error = *run.outcome.error;
    QCOMPARE(error.kind, yf::ErrorKind::WriteFeed);
    QVERIFY(error.path.startsWith(run.request.outputDir + "/-"));
    QCOMPARE(error.reason, QString("No such file or directory"));
    QCOMPARE(run.stored("OutputDir"), run.request.outputDir);
    QCOMPARE(fixture::filesIn(run.tmp.path()), QStringList{"config.ini"});

    // With nothing below the input directory there is nothing to write: the run succeeds.
    Run empty;
    empty.request.outputDir = empty.tmp.path() + "/no such dir";
    empty.command();
    QVERIFY(empty.outcome.finished());
    QCOMPARE(empty.outcome.feedsWritten, 0);
}

void TestGenerate::missingInputStoresNothing_data()
{
    QTest::addColumn<QString>("input");
    QTest::newRow("missing") << "/missing";
    QTest::newRow("a file") << "/file.mp3";
    QTest::newRow("relative") << "relative";
}

void TestGenerate::missingInputStoresNothing()
{
    QFETCH(QString, input);
    Run run;
    fixture::makeTree(run.tmp.path(), {"file.mp3"});
    run.request.inputDir = input.startsWith('/') ? run.tmp.path() + input : input;
    run.command();
    QVERIFY(run.outcome.error.has_value());
    QVERIFY(run.outcome.error->message().contains(input));
    QVERIFY(!QFile::exists(run.settingsPath));
}

void TestGenerate::cancelLeavesCompleteFeeds()
{
    Run run;
    fixture::makeTree(run.request.inputDir, {"A/a.mp3", "B/b.mp3", "C/c.mp3", "D/d.mp3"});
    run.watcher.cancelAfterFeeds = 2;
    run.command();
    QVERIFY(run.outcome.cancelled());
    QCOMPARE(run.outcome.feedsWritten, 2);
    const QStringList written = run.feeds();
    QCOMPARE(written.size(), 2);
    for (const QString &name : written)
        QVERIFY(fixture::readFile(run.request.outputDir + '/' + name).endsWith("</channel></rss>\r\n"));
    QCOMPARE(run.stored("InputDir"), run.request.inputDir);
}

void TestGenerate::deepFoldersGetNamesThatFit()
{
    // 500 levels: past about 125 the feed name no longer fits a file name, and is cut.
    Run run;
    QString deep = "level";
    for (int k = 1; k < 500; ++k)
        deep += "/d";
    fixture::makeTree(run.request.inputDir, {deep + "/x.mp3"});
    run.command();
    const yf::RunOutcome &outcome = run.outcome;
    QVERIFY2(outcome.finished(), outcome.error ? qPrintable(outcome.error->message()) : "");
    QCOMPARE(outcome.feedsWritten, 500);
    const QStringList names = run.feeds();
    QCOMPARE(names.size(), 500);
    for (const QString &name : names)
        QVERIFY(name.toUtf8().size() <= 255);
    QVERIFY(names.contains("-level-.xml"));
    QCOMPARE(names.filter("~").size(), 500 - 123);  // "-level", up to 122 times "-d", "-" and ".xml" fit
    // The deepest folder's feed holds its file.
    bool found = false;
    for (const QString &name : names)
        found = found || fixture::readFile(run.request.outputDir + '/' + name).contains("x.mp3");
    QVERIFY(found);
    run.command();
    QCOMPARE(run.feeds(), names);
}

void TestGenerate::outputInsideInputIsNotScanned()
{
    Run run;
    run.request.outputDir = run.request.inputDir + "/Show/feeds";
    fixture::makeTree(run.request.inputDir, {"Show/a.mp3", "Show/feeds/"});
    run.command();
    QCOMPARE(run.feeds(), QStringList{"-Show-.xml"});
    run.command();  // the feeds of the first run are there now
    QCOMPARE(run.outcome.feedsWritten, 1);
    QCOMPARE(run.feeds(), QStringList{"-Show-.xml"});
    const QByteArray text = fixture::readFile(run.request.outputDir + "/-Show-.xml");
    QVERIFY(!text.contains("feeds"));
    QCOMPARE(text.count("<item>"), 1);
}

// Run after run: nothing changed means no file touched; one file added changes one feed.
void TestGenerate::unchangedTreeTouchesNoFeed()
{
    Run run;
    fixture::makeTree(run.request.inputDir, {"A/a.mp3", "A/Sub/s.mp3", "B/b.mp3", "C/"});
    run.command();
    const auto first = run.snapshot();
    QCOMPARE(first.size(), 4);
    QTest::qSleep(20);  // so a rewrite would show in the nanoseconds
    run.command();
    QVERIFY(run.outcome.finished());
    QCOMPARE(run.outcome.feedsWritten, 4);
    QCOMPARE(run.snapshot(), first);
    QCOMPARE(fixture::filesIn(run.request.outputDir).size(), 4);  // no temporary file left

    fixture::makeTree(run.request.inputDir, {"B/new.mp3"});
    run.command();
    const auto third = run.snapshot();
    QCOMPARE(run.outcome.feedsWritten, 4);
    for (const QString &name : first.keys()) {
        if (name == "-B-.xml")
            QVERIFY(third[name] != first[name] && third[name].first.contains("new.mp3"));
        else
            QCOMPARE(third[name], first[name]);
    }
}

void TestGenerate::refusedBaseUrlWritesNothing_data()
{
    QTest::addColumn<QString>("baseUrl");
    QTest::addColumn<QString>("reason");
    const QString noAddress = "full address such as \"http://192.168.1.10/\"";
    QTest::newRow("empty") << QString() << noAddress;
    QTest::newRow("no scheme") << "127.0.0.1/" << noAddress;
    QTest::newRow("no host") << "http://" << noAddress;
    QTest::newRow("ftp") << "ftp://x" << "must start with \"http://\" or \"https://\"";
    QTest::newRow("file") << "file:///srv/" << "must start with \"http://\" or \"https://\"";
    QTest::newRow("query") << "http://h/x?a=1" << "must not have a query";
    QTest::newRow("fragment") << "http://h/x#frag" << "must not have a fragment";
}

void TestGenerate::refusedBaseUrlWritesNothing()
{
    QFETCH(QString, baseUrl);
    Run run;
    fixture::makeTree(run.request.inputDir, {"A/a.mp3"});
    run.request.baseUrl = baseUrl;
    run.command();
    QVERIFY(!run.watcher.sawScan);  // refused before anything is scanned
    QCOMPARE(run.outcome.feedsWritten, 0);
    QFETCH(QString, reason);
    QVERIFY2(run.outcome.error->message().contains(reason), qPrintable(run.outcome.error->message()));
    QVERIFY(run.feeds().isEmpty());
    QVERIFY(!QFile::exists(run.settingsPath));
}

void TestGenerate::messagesNameCountAndCause()
{
    QCOMPARE(yf::completeMessage(0), QString("\"0\" XML files generated."));
    QCOMPARE(yf::completeMessage(40000), QString("\"40000\" XML files generated."));
    const yf::Error e = yf::Error::fromErrno(yf::ErrorKind::WriteFeed, "Cannot write file", "/out/-A-.xml", ENOSPC);
    const QString text = yf::failureMessage(e, 7);
    QVERIFY(text.contains("Cannot write file \"/out/-A-.xml\": No space left on device"));
    QVERIFY(text.contains("7"));
}

QTEST_GUILESS_MAIN(TestGenerate)
#include "tst_generate.moc"
