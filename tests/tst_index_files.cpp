// A run's index page and OPML file on disk: written beside the feeds, never counted, never someone else's.
#include "run_fixture.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Bytes and modification time (nanoseconds) of a file; an empty pair when it is missing.
QPair<QByteArray, qint64> state(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return {fixture::readFile(path), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

class StopAfterFirstFeed : public yf::RunObserver {
public:
    void feedWritten(qsizetype done, qsizetype) override { m_done = done; }
    bool cancelRequested() const override { return m_done >= 1; }

private:
    qsizetype m_done = 0;
};

struct IndexRun : fixture::RunSetup {
    QString out(const char *name) const { return request.outputDir + '/' + name; }
    QByteArray page() const { return fixture::readFile(out(yf::kIndexPageFile)); }
    QByteArray opml() const { return fixture::readFile(out(yf::kOpmlFile)); }
};

} // namespace

class TestIndexFiles : public QObject {
    Q_OBJECT

private slots:
    void writtenBesideTheFeedsAndNotCounted()
    {
        IndexRun run;
        fixture::makeTree(run.request.inputDir, {"Talks/a.mp3", "Talks/b.mp3", "Quiet/", "<img src=x onerror=alert(1)>/"});
        const yf::RunOutcome outcome = run.run();
        QVERIFY(outcome.finished());
        QCOMPARE(outcome.feedsWritten, 3);  // the feeds alone
        QVERIFY(outcome.indexProblems.empty());
        QCOMPARE(outcome.indexPage, run.out(yf::kIndexPageFile));
        QCOMPARE(outcome.indexAddress, QStringLiteral("http://127.0.0.1/out/index.html"));
        QVERIFY(run.page().contains("<li class=\"empty\"><a href=\"./-Quiet-.xml\">-Quiet-</a>"));
        QVERIFY(run.page().contains(">-&lt;img src=x onerror=alert(1)&gt;-</a>"));
        QVERIFY(run.page().contains("2 episodes"));
        QVERIFY(run.opml().contains("xmlUrl=\"http://127.0.0.1/out/-Talks-.xml\""));
        QCOMPARE(run.opml().count("<outline "), 3);
        // The run's list names them as its own; no feed removal can reach them.
        const QByteArray list = fixture::readFile(run.out(yf::kPublishedFeedsFile));
        QVERIFY(list.contains("\nindex.html\n") && list.contains("\nfeeds.opml\n"));
        QVERIFY(!yf::isRemovableFeedName(yf::kIndexPageFile) && !yf::isRemovableFeedName(yf::kOpmlFile));
    }

    // Same feeds, same files: neither is written again, so their times stay; a change replaces both.
    void unchangedRunLeavesBothUntouched()
    {
        IndexRun run;
        fixture::makeTree(run.request.inputDir, {"A/1.mp3", "B/"});
        QVERIFY(run.run().finished());
        const auto page = state(run.out(yf::kIndexPageFile));
        const auto opml = state(run.out(yf::kOpmlFile));
        QVERIFY(!page.first.isEmpty() && !opml.first.isEmpty());
        QTest::qSleep(20);
        QVERIFY(run.run().finished());
        QCOMPARE(state(run.out(yf::kIndexPageFile)), page);
        QCOMPARE(state(run.out(yf::kOpmlFile)), opml);

        fixture::makeTree(run.request.inputDir, {"C/2.mp3"});
        QVERIFY(run.run().finished());
        QVERIFY(run.page().contains("-C-") && run.opml().contains("-C-.xml"));
    }

    // Replaced by a rename: a reader that opened the old page reads all of the old page.
    void replacedWholeNeverHalfWritten()
    {
        IndexRun run;
        fixture::makeTree(run.request.inputDir, {"A/1.mp3"});
        QVERIFY(run.run().finished());
        const QByteArray before = run.page();
        const int reader = ::open(QFile::encodeName(run.out(yf::kIndexPageFile)).constData(), O_RDONLY);
        QVERIFY(reader >= 0);
        fixture::makeTree(run.request.inputDir, {"B/2.mp3"});
        QVERIFY(run.run().finished());
        QByteArray seen(before.size() + 100, '\0');
        const ssize_t n = ::read(reader, seen.data(), static_cast<size_t>(seen.size()));
        ::close(reader);
        QCOMPARE(seen.left(n), before);
        QVERIFY(run.page().contains("-B-"));
        QCOMPARE(run.feeds(), (QStringList{"-A-.xml", "-B-.xml"}));  // no temporary file left either
    }

    void someoneElsesFilesAreLeftAlone_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("the user's index page") << QStringLiteral("index.html");
        QTest::newRow("the user's OPML file") << QStringLiteral("feeds.opml");
    }
    void someoneElsesFilesAreLeftAlone()
    {
        QFETCH(QString, name);
        IndexRun run;
        fixture::makeTree(run.request.inputDir, {"A/1.mp3"});
        fixture::makeTree(run.request.outputDir, {name + "=<!DOCTYPE html>\n<html><p>My own</p></html>\n"});
        const auto mine = state(run.request.outputDir + '/' + name);
        for (int round = 0; round < 2; ++round) {
            const yf::RunOutcome outcome = run.run();
            QVERIFY(outcome.finished());
            QCOMPARE(outcome.feedsWritten, 1);
            QCOMPARE(outcome.indexProblems.size(), std::size_t(1));
            QVERIFY(outcome.indexProblems.front().message().contains(name));
            QCOMPARE(state(run.request.outputDir + '/' + name), mine);
        }
        // The other one is still written, and the list does not call the user's file ours.
        const QByteArray other = name == "index.html" ? run.opml() : run.page();
        QVERIFY(yf::isOwnIndexText(other));
        QVERIFY(!fixture::readFile(run.out(yf::kPublishedFeedsFile)).contains("\n" + name.toLatin1() + "\n"));
    }

    // Outside the link root no address is known: no OPML file, and an old one of ours goes.
    void noAddressNoOpmlFile()
    {
        IndexRun run;
        QTemporaryDir elsewhere;
        fixture::makeTree(run.request.inputDir, {"A/1.mp3"});
        QVERIFY(run.run().finished());
        QVERIFY(!run.opml().isEmpty());
        QVERIFY(QFile::copy(run.out(yf::kOpmlFile), elsewhere.path() + "/feeds.opml"));
        run.request.outputDir = elsewhere.path();
        const yf::RunOutcome outcome = run.run();
        QVERIFY(outcome.finished());
        QVERIFY(outcome.indexAddress.isEmpty());
        QCOMPARE(outcome.indexPage, elsewhere.path() + "/index.html");
        QVERIFY(!QFile::exists(elsewhere.path() + "/feeds.opml"));
        QVERIFY(run.page().contains("<p id=\"opml\"></p>"));
        QVERIFY(!run.page().contains("href=\"feeds.opml\""));
    }

    // A run that stops early leaves the page and OPML file of the last finished run.
    void failedOrCancelledRunsLeaveThemAsTheyWere_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("cancelled") << true;
        QTest::newRow("failed: a feed too big for the disk") << false;
    }
    void failedOrCancelledRunsLeaveThemAsTheyWere()
    {
        QFETCH(bool, cancel);
        IndexRun run;
        fixture::makeTree(run.request.inputDir, {"A/1.mp3", "B/2.mp3"});
        QVERIFY(run.run().finished());
        const auto page = state(run.out(yf::kIndexPageFile));
        const auto opml = state(run.out(yf::kOpmlFile));
        fixture::makeTree(run.request.inputDir, {"C/3.mp3", "D/4.mp3"});
        StopAfterFirstFeed stop;
        std::optional<fixture::FileSizeLimit> full;
        if (!cancel)
            full.emplace(100);  // no new feed fits
        const yf::RunOutcome outcome = cancel ? run.run(&stop) : run.run();
        full.reset();
        QVERIFY(!outcome.finished());
        QCOMPARE(outcome.cancelled(), cancel);
        QVERIFY(outcome.indexPage.isEmpty());
        QCOMPARE(state(run.out(yf::kIndexPageFile)), page);
        QCOMPARE(state(run.out(yf::kOpmlFile)), opml);
    }
};

QTEST_GUILESS_MAIN(TestIndexFiles)
#include "tst_index_files.moc"
