// The real program and its settings file: two runs at once leave one run's values, never a
// mix, and a file of another user is left alone with one warning line.
#include "fixture.h"
#include "program_testing.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

using namespace cli_testing;

namespace {

// What a run asks for and so leaves in the settings file.
struct Values {
    QString inputDir;
    QString outputDir;
    QString baseUrl;
    bool operator==(const Values &) const = default;
};

Values storedIn(const QString &ini)
{
    return {fixture::setting("RESTORE", "InputDir", ini), fixture::setting("RESTORE", "OutputDir", ini),
            fixture::setting("RESTORE", "BaseUrl", ini)};
}

QStringList generating(const Values &run, const QString &ini)
{
    return {"--generate", "--quiet", "--input", run.inputDir, "--output", run.outputDir, "--base-url", run.baseUrl,
            "--settings", ini};
}

} // namespace

class TestCliSettings : public QObject {
    Q_OBJECT
private slots:
    void twoRunsAtOnceLeaveOneRunsValues()
    {
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"a/in/Show A/ep.mp3", "a/out/", "b/in/Show B/ep.mp3", "b/out/"});
        const Values a{tmp.filePath("a/in"), tmp.filePath("a/out"), "http://a.example/"};
        const Values b{tmp.filePath("b/in"), tmp.filePath("b/out"), "http://b.example/"};
        const QString ini = tmp.filePath("config.ini");
        // A large file makes each save take a while, so the two runs' saves overlap often.
        const QString padding = "; " + QString(900 * 1024, 'x') + "\n";
        fixture::makeTree(tmp.path(), {"config.ini=; shared by two runs\n[RESTORE]\nInputDir=/before\n" + padding});
        int aLast = 0;
        int bLast = 0;
        for (int round = 0; round < 50; ++round) {
            QProcess first;
            QProcess second;
            for (QProcess *run : {&first, &second})
                run->setProcessEnvironment(headless());
            // Each run starts first in turn, the other a little later each round, so that over
            // the rounds their saves meet at many points of each other's.
            first.start(program(), generating(round % 2 ? b : a, ini));
            QThread::usleep(unsigned(round % 10) * 300);
            second.start(program(), generating(round % 2 ? a : b, ini));
            for (QProcess *run : {&first, &second}) {
                QVERIFY(run->waitForFinished(60000));
                QCOMPARE(run->exitStatus(), QProcess::NormalExit);
                QCOMPARE(run->exitCode(), 0);
                QCOMPARE(run->readAllStandardError(), QByteArray());
            }
            const Values left = storedIn(ini);
            QVERIFY2(left == a || left == b, qPrintable(QStringLiteral("round %1: %2 | %3 | %4")
                                                            .arg(round)
                                                            .arg(left.inputDir, left.outputDir, left.baseUrl)));
            (left == a ? aLast : bLast) += 1;
            QVERIFY(fixture::readFile(ini).startsWith("; shared by two runs\n[RESTORE]\n"));
            QVERIFY(fixture::readFile(ini).endsWith(padding.toUtf8()));
        }
        qInfo("last to store: run A %d times, run B %d times", aLast, bLast);
        QCOMPARE(fixture::filesIn(tmp.path()), QStringList{"config.ini"});
    }

    // Root with a user's HOME: the user's file reached through a link stays as it was, and
    // the run says in one line what was not remembered and why.
    void anotherUsersFileGetsOneWarning()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to give a file to another user");
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/Show/ep.mp3", "out/", "theirs.ini=[RESTORE]\nInputDir=/theirs\n",
                                       "config.ini->theirs.ini"});
        const QByteArray theirs = QFile::encodeName(tmp.filePath("theirs.ini"));
        QVERIFY(::chown(theirs.constData(), 54321, 54321) == 0);
        struct stat before;
        QVERIFY(::stat(theirs.constData(), &before) == 0);

        const Finished run = runProgram({"--generate", "--quiet", "--input", tmp.filePath("in"), "--output",
                                         tmp.filePath("out"), "--settings", tmp.filePath("config.ini")});
        QCOMPARE(run.crashed, false);
        QCOMPARE(run.status, 0);
        const QList<QByteArray> lines = run.err.trimmed().split('\n');
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].startsWith("Warning: the directories, base URL and tags setting were not remembered: "
                                     "Cannot write settings file \"" + QFile::encodeName(tmp.filePath("config.ini")) + "\": "),
                 lines[0].constData());
        QVERIFY2(lines[0].contains("uid 54321"), lines[0].constData());
        struct stat after;
        QVERIFY(::stat(theirs.constData(), &after) == 0);
        QCOMPARE(fixture::readFile(tmp.filePath("theirs.ini")), QByteArray("[RESTORE]\nInputDir=/theirs\n"));
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_uid, uid_t(54321));
        QCOMPARE(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        QVERIFY(QFile::exists(tmp.filePath("out/-Show-.xml")));
    }
};

QTEST_GUILESS_MAIN(TestCliSettings)
#include "tst_cli_settings.moc"
