// A whole run: call order, counts, settings timing, collisions, failures and cancelling.
#include "feed/feed_names.h"
#include "fixture.h"
#include "generate/generate.h"
#include "settings/ini_file.h"

#include <QMap>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

class FixedClock : public yf::Clock {
public:
    qint64 nowSecs() const override { return 1767517507; }
};

// Records what a run does, in order, as the window would see it.
class Recorder : public yf::GenerateHost, public yf::RunObserver {
public:
    QString settingsPath;
    QStringList events;
    yf::RunOutcome outcome;
    qsizetype cancelAfterFeeds = -1;

    void ItemsStatus(bool &Status) override { events << (Status ? "enable" : "disable"); }
    void reportOutcome(const yf::RunOutcome &o) override
    {
        outcome = o;
        events << (o.finished() ? QStringLiteral("complete %1").arg(o.feedsWritten)
                                : QStringLiteral("failed %1").arg(o.feedsWritten));
    }
    void foldersFound(qsizetype) override { note("scan"); }
    void feedWritten(qsizetype done, qsizetype) override
    {
        note("feed");
        written = done;
    }
    bool cancelRequested() const override { return cancelAfterFeeds >= 0 && written >= cancelAfterFeeds; }

private:
    qsizetype written = 0;
    // Collapses repeats, and records the moment the settings file first appears.
    void note(const QString &what)
    {
        if (!storedSeen && QFile::exists(settingsPath)) {
            storedSeen = true;
            events << "settings stored";
        }
        if (events.isEmpty() || events.last() != what)
            events << what;
    }
    bool storedSeen = false;
};

struct Run {
    QTemporaryDir tmp;
    yf::RunInputs inputs;
    yf::RunState state;
    FixedClock clock;
    Recorder recorder;

    Run()
    {
        inputs.inputDir = tmp.path() + "/in";
        inputs.highlightedEntry = inputs.inputDir;
        inputs.outputDir = tmp.path() + "/out";
        inputs.baseUrl = "http://127.0.0.1/";
        inputs.settingsPath = tmp.path() + "/config.ini";
        recorder.settingsPath = inputs.settingsPath;
        QDir().mkpath(inputs.inputDir);
        QDir().mkpath(inputs.outputDir);
    }
    void command() { yf::runGenerateCommand(recorder, inputs, state, clock, &recorder); }
    QStringList feeds() const { return fixture::filesIn(inputs.outputDir); }
    QString stored(const char *key) const { return yf::ReadIniValue("RESTORE", key, inputs.settingsPath); }
    // Every feed file with its bytes and its modification time in nanoseconds.
    QMap<QString, QPair<QByteArray, qint64>> snapshot() const
    {
        QMap<QString, QPair<QByteArray, qint64>> files;
        for (const QString &name : feeds()) {
            struct stat st;
            const QString path = inputs.outputDir + '/' + name;
            if (::stat(QFile::encodeName(path).constData(), &st) == 0)
                files[name] = {fixture::readFile(path), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
        }
        return files;
    }
};

} // namespace

class TestGenerate : public QObject {
    Q_OBJECT
private slots:
    void runsStepsInOrder();
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

void TestGenerate::runsStepsInOrder()
{
    Run run;
    fixture::makeTree(run.inputs.inputDir, {"A/a.mp3", "B/"});
    run.command();
    QCOMPARE(run.recorder.events,
             (QStringList{"disable", "scan", "settings stored", "feed", "complete 2", "enable"}));
    QCOMPARE(run.recorder.outcome.lastFeedAtSecs, qint64(1767517507));
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
    fixture::makeTree(run.inputs.inputDir, tree);
    // Give write permission back afterwards so the temporary directory can be removed.
    const auto restore = qScopeGuard([&] { QProcess::execute("chmod", {"-R", "u+w", run.tmp.path()}); });
    run.command();
    QCOMPARE(run.recorder.events.last(2), (QStringList{QStringLiteral("complete %1").arg(feeds.size()), "enable"}));
    QCOMPARE(run.feeds(), feeds);
    QCOMPARE(run.state.List1.listCount(), feeds.size() + 1);
    QCOMPARE(run.state.List1.list(0), QFile::encodeName(run.inputs.inputDir) + '/');
    QCOMPARE(run.stored("InputDir"), run.inputs.inputDir);
    QCOMPARE(run.stored("OutputDir"), run.inputs.outputDir);

    // A second run rebuilds the list instead of adding to it.
    run.command();
    QCOMPARE(run.state.List1.listCount(), feeds.size() + 1);
    QCOMPARE(run.feeds(), feeds);
}

void TestGenerate::everyCollidingFolderKeepsAFeed()
{
    Run run;
    fixture::makeTree(run.inputs.inputDir, {"A-B/dash.mp3", "A/B/slash.mp3"});
    run.command();
    // A-B and A/B share a name; A/B comes later (deeper) and keeps it, A-B gets its own.
    const QString hashed = "-A-B-~" + QString::fromLatin1(yf::stableHash("/A-B/")) + ".xml";
    QCOMPARE(run.recorder.outcome.feedsWritten, 3);
    QCOMPARE(run.feeds(), (QStringList{"-A-.xml", "-A-B-.xml", hashed}));
    const QByteArray plain = fixture::readFile(run.inputs.outputDir + "/-A-B-.xml");
    QVERIFY(plain.contains("slash.mp3") && !plain.contains("dash.mp3"));
    const QByteArray other = fixture::readFile(run.inputs.outputDir + '/' + hashed);
    QVERIFY(other.contains("dash.mp3") && !other.contains("slash.mp3"));
    QVERIFY(other.contains("<title>" + hashed.chopped(4).toUtf8() + "</title>"));
    // The next run names them the same.
    run.command();
    QCOMPARE(run.feeds(), (QStringList{"-A-.xml", "-A-B-.xml", hashed}));
}

void TestGenerate::highlightedSubFolderChangesLinksOnly()
{
    Run run;
    fixture::makeTree(run.inputs.inputDir, {"Talks/ep.mp3"});
    run.inputs.highlightedEntry = run.inputs.inputDir + "/Talks";
    run.command();
    QCOMPARE(run.feeds(), QStringList{"-Talks-.xml"});
    const QByteArray text = fixture::readFile(run.inputs.outputDir + "/-Talks-.xml");
    QVERIFY2(text.contains("<link>http://127.0.0.1/Talks/ep.mp3</link>"), text.constData());
}

void TestGenerate::failingOutputKeepsSettingsAndReports()
{
    Run run;
    fixture::makeTree(run.inputs.inputDir, {"A/a.mp3", "B/b.mp3"});
    run.inputs.outputDir = run.tmp.path() + "/no such dir";
    run.command();
    QCOMPARE(run.recorder.events.last(2), (QStringList{"failed 0", "enable"}));
    const yf::Error &error = *run.recorder.outcome.error;
    QCOMPARE(error.kind, yf::ErrorKind::WriteFeed);
    QVERIFY(error.path.startsWith(run.inputs.outputDir + "/-"));
    QCOMPARE(error.reason, QString("No such file or directory"));
    QCOMPARE(run.stored("OutputDir"), run.inputs.outputDir);
    QCOMPARE(fixture::filesIn(run.tmp.path()), QStringList{"config.ini"});

    // With nothing below the input directory there is nothing to write: the run succeeds.
    Run empty;
    empty.inputs.outputDir = empty.tmp.path() + "/no such dir";
    empty.command();
    QCOMPARE(empty.recorder.events.last(2), (QStringList{"complete 0", "enable"}));
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
    run.inputs.inputDir = input.startsWith('/') ? run.tmp.path() + input : input;
    run.command();
    QVERIFY(run.recorder.outcome.error.has_value());
    QVERIFY(run.recorder.outcome.error->message().contains(input));
    QVERIFY(!QFile::exists(run.inputs.settingsPath));
    QCOMPARE(run.recorder.events.last(), QString("enable"));
}

void TestGenerate::cancelLeavesCompleteFeeds()
{
    Run run;
    fixture::makeTree(run.inputs.inputDir, {"A/a.mp3", "B/b.mp3", "C/c.mp3", "D/d.mp3"});
    run.recorder.cancelAfterFeeds = 2;
    run.command();
    QVERIFY(run.recorder.outcome.cancelled());
    QCOMPARE(run.recorder.outcome.feedsWritten, 2);
    const QStringList written = run.feeds();
    QCOMPARE(written.size(), 2);
    for (const QString &name : written)
        QVERIFY(fixture::readFile(run.inputs.outputDir + '/' + name).endsWith("</channel></rss>\r\n"));
    QCOMPARE(run.stored("InputDir"), run.inputs.inputDir);
}

void TestGenerate::deepFoldersGetNamesThatFit()
{
    // 500 levels: past about 125 the feed name no longer fits a file name, and is cut.
    Run run;
    QString deep = "level";
    for (int k = 1; k < 500; ++k)
        deep += "/d";
    fixture::makeTree(run.inputs.inputDir, {deep + "/x.mp3"});
    run.command();
    QCOMPARE(run.state.List1.listCount(), 501);
    const yf::RunOutcome &outcome = run.recorder.outcome;
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
        found = found || fixture::readFile(run.inputs.outputDir + '/' + name).contains("x.mp3");
    QVERIFY(found);
    run.command();
    QCOMPARE(run.feeds(), names);
}

void TestGenerate::outputInsideInputIsNotScanned()
{
    Run run;
    run.inputs.outputDir = run.inputs.inputDir + "/Show/feeds";
    fixture::makeTree(run.inputs.inputDir, {"Show/a.mp3", "Show/feeds/"});
    run.command();
    QCOMPARE(run.feeds(), QStringList{"-Show-.xml"});
    run.command();  // the feeds of the first run are there now
    QCOMPARE(run.recorder.outcome.feedsWritten, 1);
    QCOMPARE(run.feeds(), QStringList{"-Show-.xml"});
    const QByteArray text = fixture::readFile(run.inputs.outputDir + "/-Show-.xml");
    QVERIFY(!text.contains("feeds"));
    QCOMPARE(text.count("<item>"), 1);
}

// Run after run: nothing changed means no file touched; one file added changes one feed.
void TestGenerate::unchangedTreeTouchesNoFeed()
{
    Run run;
    fixture::makeTree(run.inputs.inputDir, {"A/a.mp3", "A/Sub/s.mp3", "B/b.mp3", "C/"});
    run.command();
    const auto first = run.snapshot();
    QCOMPARE(first.size(), 4);
    QTest::qSleep(20);  // so a rewrite would show in the nanoseconds
    run.command();
    QCOMPARE(run.recorder.events.last(2), (QStringList{"complete 4", "enable"}));
    QCOMPARE(run.snapshot(), first);
    QCOMPARE(fixture::filesIn(run.inputs.outputDir).size(), 4);  // no temporary file left

    fixture::makeTree(run.inputs.inputDir, {"B/new.mp3"});
    run.command();
    const auto third = run.snapshot();
    QCOMPARE(run.recorder.outcome.feedsWritten, 4);
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
    QTest::newRow("empty") << QString();
    QTest::newRow("no scheme") << "127.0.0.1/";
    QTest::newRow("no host") << "http://";
}

void TestGenerate::refusedBaseUrlWritesNothing()
{
    QFETCH(QString, baseUrl);
    Run run;
    fixture::makeTree(run.inputs.inputDir, {"A/a.mp3"});
    run.inputs.baseUrl = baseUrl;
    run.command();
    QCOMPARE(run.recorder.events, (QStringList{"disable", "failed 0", "enable"}));
    QVERIFY(run.recorder.outcome.error->message().contains("full address such as \"http://192.168.1.10/\""));
    QVERIFY(run.feeds().isEmpty());
    QVERIFY(!QFile::exists(run.inputs.settingsPath));
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
