// The real program without a window: what it prints, its exit statuses, what it stores,
// its progress line on a terminal, stopping on signals, and feeds equal to a window run.
#include "fixture.h"
#include "media_fixture.h"
#include "settings/stored_run.h"
#include "program_testing.h"
#include "runtime/local_address.h"
#include "settings/ini_file.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <memory>
#include <pty.h>
#include <sys/resource.h>

using namespace cli_testing;

namespace {

struct Tree {
    QTemporaryDir tmp;
    QString in = tmp.filePath("in");
    QString out = tmp.filePath("out");
    QString ini = tmp.filePath("config.ini");
    Tree()
    {
        fixture::makeTree(tmp.path(), {"in/Talks/Ep 1.mp3=one", "in/Talks/Old/ep.ogg", "in/Music/a & b.mp3", "out/"});
    }
    QStringList generate(const QStringList &more = {}) const
    {
        return QStringList{"--generate", "--input", in, "--output", out, "--settings", ini} + more;
    }
    QString stored(const char *key) const { return fixture::setting("RESTORE", key, ini); }
};

QString defaultBaseUrl() { return yf::defaultBaseUrl(yf::localAddress()); }

// Feed text with the run's moments blanked, so two runs can be compared.
QByteArray withoutDates(QByteArray feed)
{
    static const QRegularExpression dates("<(pubDate|lastBuildDate)>[^<]*</");
    return QString::fromUtf8(feed).replace(dates, "<\\1></").toUtf8();
}

} // namespace

class TestCliProgram : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_big;

private slots:
    // With only the loopback (a network namespace of its own), the default base URL would
    // publish links that play nowhere else: a run refuses, a watcher waits for an address.
    void noNetworkAddressRefusesTheDefaultBaseUrl()
    {
        if (::geteuid() != 0 || QStandardPaths::findExecutable("unshare").isEmpty())
            QSKIP("needs root and unshare for a network namespace with only the loopback");
        Tree t;
        Finished run = runProgram(QStringList{"-n", program()} + t.generate(), QStandardPaths::findExecutable("unshare"));
        QVERIFY(!run.crashed);
        QCOMPARE(run.status, 1);
        QVERIFY2(run.err.contains("No network address is known") && run.err.contains("--base-url"), run.err.constData());
        QCOMPARE(fixture::filesIn(t.out), QStringList{});
        QVERIFY(!QFile::exists(t.ini));

        // Given a base URL, the same machine runs.
        run = runProgram(QStringList{"-n", program()} + t.generate({"--base-url", "http://media.example/", "--quiet"}),
                         QStandardPaths::findExecutable("unshare"));
        QCOMPARE(run.status, 0);
        QCOMPARE(fixture::filesIn(t.out).size(), 3);

        // A watcher waits and says so, and still stops on SIGTERM.
        QProcess watcher;
        watcher.setProcessEnvironment(headless());
        QFile::remove(t.ini);
        watcher.start(QStandardPaths::findExecutable("unshare"),
                      QStringList{"-n", program(), "--watch", "--settle", "0.2", "--input", t.in, "--output", t.out,
                                  "--settings", t.ini});
        QVERIFY(watcher.waitForStarted());
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += watcher.readAllStandardError()).contains("Waiting for a network address"), 10000);
        QCOMPARE(watcher.state(), QProcess::Running);
        ::kill(static_cast<pid_t>(watcher.processId()), SIGTERM);
        QVERIFY(watcher.waitForFinished(10000));
    }

    void generateWritesFeedsAndStoresSettings()
    {
        Tree t;
        Finished run = runProgram(t.generate({"--base-url", "http://example.org/pub/"}));
        QVERIFY(!run.crashed);
        QCOMPARE(run.status, 0);
        // The count, then the index page with its address: the output lies below the link root.
        QCOMPARE(run.out, "\"3\" XML files generated.\nIndex page: " + QFile::encodeName(t.out)
                              + "/index.html (http://example.org/pub/out/index.html)\n");
        QCOMPARE(run.err, QByteArray());  // not a terminal: no progress lines
        QCOMPARE(fixture::filesIn(t.out), (QStringList{"-Music-.xml", "-Talks-.xml", "-Talks-Old-.xml"}));
        QVERIFY(fixture::readFile(t.out + "/-Talks-.xml").contains("http://example.org/pub/in/Talks/Ep%201.mp3"));
        QCOMPARE(t.stored("InputDir"), t.in);
        QCOMPARE(t.stored("OutputDir"), t.out);
        QCOMPARE(t.stored("BaseUrl"), QStringLiteral("http://example.org/pub/"));

        // The default base URL is not remembered, so a new address is picked up next time.
        run = runProgram(t.generate({"--base-url", defaultBaseUrl(), "--quiet"}));
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, QByteArray());
        QCOMPARE(t.stored("BaseUrl"), QString());
        QVERIFY(fixture::readFile(t.out + "/-Music-.xml").contains((defaultBaseUrl() + "in/Music/a%20&amp;%20b.mp3").toUtf8()));
    }

    // A real run remembers the switch in section OPTIONS, "1" when on, no line when off, and a
    // run without either switch keeps what is stored.
    void runsStoreTheTagsSwitch()
    {
        Tree t;
        QVERIFY(yf::writeSetting("OPTIONS", "Keep", "me", t.ini).ok());
        mediafixture::Tags tags;
        tags.title = QStringLiteral("Told by its tag");
        QVERIFY(mediafixture::writeMp3(t.in + "/Talks/Ep 1.mp3", 1000, tags));
        const QString cache = t.tmp.filePath("cache");  // the user's cache folder, not the real one
        const std::optional<QByteArray> cacheBefore =
            qEnvironmentVariableIsSet("XDG_CACHE_HOME") ? std::optional(qgetenv("XDG_CACHE_HOME")) : std::nullopt;
        qputenv("XDG_CACHE_HOME", QFile::encodeName(cache));
        const auto restore = qScopeGuard([&] {
            cacheBefore ? qputenv("XDG_CACHE_HOME", *cacheBefore) : qunsetenv("XDG_CACHE_HOME");
        });
        for (const auto &[option, stored] : {std::pair{"--tags", "1"}, std::pair{"", "1"}, std::pair{"--no-tags", ""},
                                             std::pair{"", ""}}) {
            QStringList arguments = t.generate({"--quiet"});
            if (*option)
                arguments << option;
            const Finished run = runProgram(arguments);
            QCOMPARE(run.status, 0);
            QCOMPARE(fixture::setting("OPTIONS", "Tags", t.ini), QString::fromLatin1(stored));
            QCOMPARE(fixture::setting("OPTIONS", "Keep", t.ini), QStringLiteral("me"));
            QCOMPARE(fixture::readFile(t.out + "/-Talks-.xml").contains("<title>Told by its tag</title>"), *stored != 0);
        }
        QVERIFY(QFile::exists(cache + "/yarrowfeed/tags.sqlite"));
        QVERIFY(!fixture::readFile(t.ini).contains("Tags"));
    }

    // Without options the program runs with what a window started now would show.
    void storedSettingsAndOverrides()
    {
        Tree t;
        fixture::makeTree(t.tmp.path(), {"out2/", "rel/"});
        QVERIFY(yf::writeSetting("RESTORE", "InputDir", t.in, t.ini).ok());
        QVERIFY(yf::writeSetting("RESTORE", "OutputDir", t.out, t.ini).ok());
        QVERIFY(yf::writeSetting("RESTORE", "BaseUrl", "http://stored.example/", t.ini).ok());
        Finished run = runProgram({"--generate", "--settings", t.ini});
        QCOMPARE(run.status, 0);
        QVERIFY(fixture::readFile(t.out + "/-Talks-.xml").contains("http://stored.example/in/Talks/"));

        run = runProgram({"--generate", "--settings", t.ini, "--output", t.tmp.filePath("out2")});
        QCOMPARE(run.status, 0);
        QCOMPARE(fixture::filesIn(t.tmp.filePath("out2")).size(), 3);
        QVERIFY(fixture::readFile(t.tmp.filePath("out2/-Music-.xml")).contains("http://stored.example/in/Music/"));
        QCOMPARE(t.stored("InputDir"), t.in);
        QCOMPARE(t.stored("OutputDir"), t.tmp.filePath("out2"));
        QCOMPARE(t.stored("BaseUrl"), QStringLiteral("http://stored.example/"));

        run = runProgram({"--generate", "--settings", t.ini, "--input", t.tmp.filePath("rel"),
                          "--base-url", "http://other/"});
        QCOMPARE(run.out, "\"0\" XML files generated.\nIndex page: " + QFile::encodeName(t.tmp.filePath("out2"))
                              + "/index.html (http://other/out2/index.html)\n");
        QCOMPARE(t.stored("InputDir"), t.tmp.filePath("rel"));
        QCOMPARE(t.stored("BaseUrl"), QStringLiteral("http://other/"));
    }

    // Without --settings the settings file is the window's: here, beside a copy of the program.
    void windowsSettingsFileByDefault()
    {
        Tree t;
        QVERIFY(QDir().mkpath(t.tmp.filePath("bin")));
        const QString copy = t.tmp.filePath("bin/yarrowfeed");
        QVERIFY(QFile::copy(program(), copy));
        const QString beside = t.tmp.filePath("bin/config.ini");
        QVERIFY(yf::writeSetting("RESTORE", "InputDir", t.in, beside).ok());
        QVERIFY(yf::writeSetting("RESTORE", "OutputDir", t.out, beside).ok());
        const Finished run = runProgram({"--generate", "--base-url", "http://h/"}, copy);
        QCOMPARE(run.status, 0);
        QCOMPARE(fixture::filesIn(t.out).size(), 3);
        QCOMPARE(fixture::setting("RESTORE", "BaseUrl", beside), QStringLiteral("http://h/"));
    }

    void failuresAndUsageMistakes_data()
    {
        QTest::addColumn<QStringList>("arguments");  // "IN", "OUT", "INI" stand for the tree's paths
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("errHas");
        QTest::addColumn<bool>("settingsStored");
        QTest::newRow("unknown option") << QStringList{"--generate", "--fast"} << 2 << "Unknown option 'fast'" << false;
        QTest::newRow("no input stored or given") << QStringList{"--generate", "--output", "OUT", "--settings", "INI"}
                                                  << 2 << "give --input DIR" << false;
        QTest::newRow("no output stored or given") << QStringList{"--generate", "--input", "IN", "--settings", "INI"}
                                                   << 2 << "give --output DIR" << false;
        QTest::newRow("invalid base URL") << QStringList{"--generate", "--input", "IN", "--output", "OUT",
                                                         "--settings", "INI", "--base-url", "http://"}
                                          << 2 << "the base URL must be a full address" << false;
        QTest::newRow("base URL of another scheme") << QStringList{"--generate", "--input", "IN", "--output", "OUT",
                                                                   "--settings", "INI", "--base-url", "ftp://x"}
                                                    << 2 << "must start with \"http://\" or \"https://\"" << false;
        QTest::newRow("base URL with a query") << QStringList{"--generate", "--input", "IN", "--output", "OUT",
                                                              "--settings", "INI", "--base-url", "http://h/x?"}
                                               << 2 << "must not have a query" << false;
        QTest::newRow("base URL with a fragment") << QStringList{"--generate", "--input", "IN", "--output", "OUT",
                                                                 "--settings", "INI", "--base-url", "http://h/x#frag"}
                                                  << 2 << "must not have a fragment" << false;
        QTest::newRow("base URL ending in a newline")
            << QStringList{"--generate", "--input", "IN", "--output", "OUT", "--settings", "INI", "--base-url", "http://h/\n"}
            << 2 << "contains a control character" << false;
        QTest::newRow("base URL with a carriage return")
            << QStringList{"--generate", "--input", "IN", "--output", "OUT", "--settings", "INI", "--base-url", "http://h/a\rb/"}
            << 2 << "contains a control character" << false;
        QTest::newRow("output directory missing") << QStringList{"--generate", "--input", "IN", "--output", "OUT/gone",
                                                                 "--settings", "INI"}
                                                  << 1 << "Cannot use the output directory" << false;
        QTest::newRow("input directory missing") << QStringList{"--generate", "--input", "IN/gone", "--output", "OUT",
                                                                "--settings", "INI"}
                                                 << 1 << "No such file or directory" << false;
        QTest::newRow("both tags switches") << QStringList{"--generate", "--input", "IN", "--output", "OUT",
                                                           "--settings", "INI", "--tags", "--no-tags"}
                                            << 2 << "--tags and --no-tags exclude each other" << false;
    }
    void failuresAndUsageMistakes()
    {
        Tree t;
        QFETCH(QStringList, arguments);
        arguments.replaceInStrings(QRegularExpression("^IN"), t.in);
        arguments.replaceInStrings(QRegularExpression("^OUT"), t.out);
        arguments.replaceInStrings(QRegularExpression("^INI$"), t.ini);
        const Finished run = runProgram(arguments);
        QVERIFY(!run.crashed);
        QTEST(run.status, "status");
        QCOMPARE(run.out, QByteArray());
        QFETCH(QString, errHas);
        QVERIFY2(run.err.contains(errHas.toUtf8()), run.err.constData());
        QCOMPARE(fixture::filesIn(t.out), QStringList{});
        QTEST(QFile::exists(t.ini), "settingsStored");
    }

    // A feed that cannot be written ends the run with the window's error text, after the
    // directories were stored and with the feeds written before it whole.
    void failedRunReportsWhatWasWritten()
    {
        Tree t;
        // One feed far bigger than the file size the program may write, the others small.
        QStringList episodes;
        for (int i = 0; i < 60; ++i)
            episodes << QStringLiteral("in/Talks/Old/An episode with a long enough name %1.mp3").arg(i);
        fixture::makeTree(t.tmp.path(), episodes);
        QProcess process;
        process.setProcessEnvironment(headless());
        process.setChildProcessModifier([] {
            const rlimit small{8192, 8192};
            ::setrlimit(RLIMIT_FSIZE, &small);
            ::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails instead of killing
        });
        process.start(program(), t.generate());
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        QCOMPARE(process.readAllStandardOutput(), QByteArray());
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QVERIFY2(err.contains(t.out + "/-Talks-Old-.xml") && err.contains("feed file(s) were written before the run stopped"),
                 qPrintable(err));
        QCOMPARE(t.stored("InputDir"), t.in);
        QCOMPARE(t.stored("OutputDir"), t.out);
    }

    void versionAndHelp()
    {
        Finished run = runProgram({"--version"});
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, QByteArray("Yarrowfeed 1.0.2\n"));
        run = runProgram({"--help"});
        QCOMPARE(run.status, 0);
        for (const char *option : {"--generate", "--watch", "--input <DIR>", "--output <DIR>", "--base-url <URL>",
                                   "--settings <FILE>", "--tags", "--no-tags", "--settle <SECONDS>", "--quiet", "--help", "--version"}) {
            const qsizetype at = run.out.indexOf(option);
            QVERIFY2(at >= 0, option);
            const qsizetype end = run.out.indexOf('\n', at);
            // One line each: the next line starts with another option, not a wrapped text.
            QVERIFY2(run.out.mid(end + 1, 3).trimmed().startsWith('-') || end + 1 >= run.out.size(), option);
        }
    }

    // On a terminal, standard error shows the progress line rewritten in place, then clears it.
    void progressOnTerminal()
    {
        Tree t;
        int master = -1;
        int slave = -1;
        QVERIFY(::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);
        QProcess process;
        process.setProcessEnvironment(headless());
        process.setChildProcessModifier([slave] { ::dup2(slave, STDERR_FILENO); });
        process.start(program(), t.generate());
        QVERIFY(process.waitForFinished(60000));
        ::close(slave);
        QByteArray terminal;
        char buffer[4096];
        for (ssize_t n; (n = ::read(master, buffer, sizeof buffer)) > 0;)
            terminal.append(buffer, n);
        ::close(master);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY(process.readAllStandardOutput().startsWith("\"3\" XML files generated.\nIndex page: "));
        const QString shown = QString::fromUtf8(terminal);
        QVERIFY2(shown.contains("\r\x1b[KScanning folders… 1 found"), qPrintable(shown));
        QVERIFY2(shown.contains("\r\x1b[KWriting feeds… 3 of 3"), qPrintable(shown));
        QVERIFY2(shown.endsWith("\r\x1b[K"), qPrintable(shown));
        QVERIFY(!shown.contains('\n'));
    }

    // SIGINT and SIGTERM stop the run at the next folder: every feed on disk is whole, no
    // temporary file is left, and the message and the status say how and how far.
    void stopsCleanlyOnSignals_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGHUP, the terminal closed") << int(SIGHUP);
    }
    void stopsCleanlyOnSignals()
    {
        QFETCH(int, signal);
        // One big tree for both signals: a run over it takes long enough to be stopped midway.
        const int folders = 4000;
        if (!m_big) {
            m_big = std::make_unique<QTemporaryDir>();
            QVERIFY(QDir().mkpath(m_big->filePath("in")));
            QVERIFY(makeFolders(m_big->filePath("in"), folders));
        }
        Tree t;
        t.in = m_big->filePath("in");
        QProcess process;
        process.setProcessEnvironment(headless());
        process.start(program(), t.generate());
        QVERIFY(process.waitForStarted());
        QDir out(t.out);
        while (out.isEmpty() && process.state() == QProcess::Running)
            QThread::usleep(500);
        ::kill(static_cast<pid_t>(process.processId()), signal);
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 128 + signal);
        const QString err = QString::fromUtf8(process.readAllStandardError());
        const QRegularExpressionMatch m =
            QRegularExpression("^\"(\\d+)\" XML files generated before the run was cancelled.\n$").match(err);
        QVERIFY2(m.hasMatch(), qPrintable(err));
        const QStringList written = out.entryList(QDir::Files | QDir::Hidden | QDir::System);
        QCOMPARE(written.size(), m.captured(1).toInt());
        QVERIFY2(written.size() < folders, "the run ended before the signal came: make the tree bigger");
        for (const QString &name : written) {
            QVERIFY2(!name.startsWith('.'), qPrintable(name));
            QVERIFY2(fixture::readFile(out.filePath(name)).endsWith("</rss>\r\n"), qPrintable(name));
        }
    }

    // The same tree gives the same feeds from the window and from the command line.
    void sameFeedsAsTheWindow()
    {
#ifndef YARROWFEED_WINDOW_DRIVER
        QSKIP("built without the window");
#else
        Tree t;
        fixture::makeTree(t.tmp.path(), {"in/Odd <&> \"names\"/100% #1.m4a=xx", "in/.hidden/x.mp3", "in/Empty/",
                                         "in/Talks/notes.txt=abc", "window/"});
        QProcess window;
        QProcessEnvironment env = headless();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        window.setProcessEnvironment(env);
        window.start(YARROWFEED_WINDOW_DRIVER, {"--input", t.in, "--output", t.tmp.filePath("window"), "--base-url",
                                                "http://10.0.0.2:8080/~u/", "--settings", t.tmp.filePath("w.ini")});
        QVERIFY(window.waitForFinished(120000));
        QVERIFY2(window.exitCode() == 0, window.readAllStandardError().constData());
        const Finished cli = runProgram(t.generate({"--base-url", "http://10.0.0.2:8080/~u/"}));
        QCOMPARE(cli.status, 0);
        const QStringList names = fixture::filesIn(t.out);
        QCOMPARE(names, fixture::filesIn(t.tmp.filePath("window")));
        QCOMPARE(names.size(), 5);
        for (const QString &name : names) {
            QCOMPARE(withoutDates(fixture::readFile(t.out + "/" + name)),
                     withoutDates(fixture::readFile(t.tmp.filePath("window/" + name))));
        }
        QCOMPARE(fixture::readFile(t.ini),
                 fixture::readFile(t.tmp.filePath("w.ini")).replace(t.tmp.filePath("window").toUtf8(), t.out.toUtf8()));
#endif
    }
};

QTEST_GUILESS_MAIN(TestCliProgram)
#include "tst_cli_program.moc"
