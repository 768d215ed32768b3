// The real program with standard output nobody reads: a pipe whose reader went, or no
// descriptor at all. A run is no worse for it, and a watcher goes on watching.
#include "fixture.h"
#include "program_testing.h"

#include <QDir>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <csignal>
#include <unistd.h>

using namespace cli_testing;

class TestCliOutputGone : public QObject {
    Q_OBJECT

private slots:
    // Standard output nobody reads (a pipe whose reader went, or no descriptor at all) is
    // no reason to end a run: it finishes with every feed whole, nothing temporary left,
    // and no message written into a file the run opened in its place.
    void finishesWithStandardOutputGone_data()
    {
        QTest::addColumn<bool>("closeOutput");
        QTest::addColumn<bool>("errorToo");
        QTest::newRow("stdout a pipe with no reader") << false << false;
        QTest::newRow("stdout and stderr pipes with no reader") << false << true;
        QTest::newRow("stdout closed") << true << false;
        QTest::newRow("stdout and stderr closed") << true << true;
    }
    void finishesWithStandardOutputGone()
    {
        QFETCH(bool, closeOutput);
        QFETCH(bool, errorToo);
        const int folders = 300;
        QTemporaryDir tmp;
        const QString in = tmp.filePath("in"), out = tmp.filePath("out"), ini = tmp.filePath("config.ini");
        fixture::makeTree(tmp.path(), {"in/Talks/Old/ep.ogg", "in/Music/a.mp3", "out/", "in/Locked/", "in/Locked/!555"});
        QVERIFY(makeFolders(in, folders));  // Locked is skipped: a line on stderr
        QProcess process;
        process.setProcessEnvironment(headless());
        process.setChildProcessModifier([closeOutput, errorToo] {
            int unread[2];
            if (!closeOutput && ::pipe(unread) == 0)
                ::close(unread[0]);
            for (int fd = STDOUT_FILENO; fd <= (errorToo ? STDERR_FILENO : STDOUT_FILENO); ++fd) {
                if (closeOutput)
                    ::close(fd);
                else
                    ::dup2(unread[1], fd);
            }
        });
        process.start(program(), {"--generate", "--input", in, "--output", out, "--settings", ini, "--base-url",
                                  "http://example.org/"});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        const QStringList written = QDir(out).entryList(QDir::Files | QDir::Hidden | QDir::System);
        QCOMPARE(written.filter(QRegularExpression("\\.xml$")).size(), folders + 3);
        for (const QString &name : written) {
            QVERIFY2(!name.startsWith('.') || name == ".yarrowfeed-feeds", qPrintable(name));
            const QByteArray text = fixture::readFile(out + "/" + name);
            QVERIFY2(!text.contains("XML files generated") && !text.contains("Skipped"), qPrintable(name));
            if (name.endsWith(".xml"))
                QVERIFY2(text.endsWith("</rss>\r\n"), qPrintable(name));
        }
        QVERIFY(!fixture::readFile(ini).contains("XML files generated"));
        QCOMPARE(fixture::setting("RESTORE", "OutputDir", ini), out);
    }

    // The first run's line goes to a pipe nobody reads: the watcher goes on, and later runs
    // keep the feeds up to date.
    void watcherOutlivesItsReader()
    {
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/A/a.mp3", "out/"});
        QProcess process;
        process.setProcessEnvironment(headless());
        process.setChildProcessModifier([] {
            int unread[2];
            if (::pipe(unread) == 0) {
                ::close(unread[0]);
                ::dup2(unread[1], STDOUT_FILENO);
            }
        });
        process.start(program(), {"--watch", "--settle", "1", "--input", tmp.filePath("in"), "--output",
                                  tmp.filePath("out"), "--settings", tmp.filePath("config.ini"), "--base-url",
                                  "http://example.org/"});
        QVERIFY(process.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(tmp.filePath("out/index.html")), 4000);
        QTest::qWait(300);  // the run's line is printed after its index page
        fixture::makeTree(tmp.path(), {"in/A/b.mp3"});
        QTRY_VERIFY_WITH_TIMEOUT(fixture::readFile(tmp.filePath("out/-A-.xml")).contains("b.mp3"), 4000);
        QCOMPARE(process.state(), QProcess::Running);
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 143);
    }
};

QTEST_GUILESS_MAIN(TestCliOutputGone)
#include "tst_cli_output_gone.moc"
