// The command line's modules in-process: which arguments it takes, the inputs it makes from
// the stored settings, the exit status of each outcome, the local address, and the watcher.
#include "cli/command_line.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/tree_watcher.h"
#include "fixture.h"
#include "runtime/local_address.h"
#include "settings/ini_file.h"

#include <QTemporaryDir>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/inotify.h>

using namespace yf;
using namespace yf::cli;

Q_DECLARE_METATYPE(yf::RunOutcome)
Q_DECLARE_METATYPE(std::optional<yf::Error>)

namespace {

QStringList args(const QString &line) { return QStringList{QStringLiteral("yarrowfeed")} + line.split(' ', Qt::SkipEmptyParts); }

// Waits up to a second for events and reads them.
TreeChanges waitForChanges(TreeWatcher &watcher)
{
    pollfd fd{watcher.fd(), POLLIN, 0};
    TreeChanges all;
    if (::poll(&fd, 1, 1000) > 0) {
        ::usleep(50 * 1000);  // let a burst of events arrive together
        const Result<TreeChanges> read = watcher.readEvents();
        if (read.ok())
            all = read.value();
    }
    return all;
}

} // namespace

class TestCliModules : public QObject {
    Q_OBJECT

private slots:
    void windowOrCommandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("commandLine");
        QTest::newRow("no arguments: the window") << QStringList{} << false;
        QTest::newRow("Qt's platform option: the window") << QStringList{"-platform", "xcb"} << false;
        QTest::newRow("Qt's option with two dashes and =") << QStringList{"--style=fusion", "-reverse"} << false;
        QTest::newRow("--generate") << QStringList{"--generate"} << true;
        QTest::newRow("--help after a Qt option") << QStringList{"-platform", "offscreen", "--help"} << true;
        QTest::newRow("a mistaken option still reaches the command line") << QStringList{"--genrate"} << true;
        QTest::newRow("a bare word") << QStringList{"generate"} << true;
    }
    void windowOrCommandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, commandLine);
        std::vector<QByteArray> bytes{"yarrowfeed"};
        for (const QString &a : arguments)
            bytes.push_back(a.toUtf8());
        std::vector<const char *> argv;
        for (const QByteArray &b : bytes)
            argv.push_back(b.constData());
        QCOMPARE(wantsCommandLine(static_cast<int>(argv.size()), argv.data()), commandLine);
    }

    void usageMistakes_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("mentions");
        QTest::newRow("unknown option") << "--generate --bogus" << "bogus";
        QTest::newRow("option without its value") << "--generate --input" << "input";
        QTest::newRow("nothing to do") << "--input /tmp" << "--generate";
        QTest::newRow("positional argument") << "--generate /tmp" << "/tmp";
        QTest::newRow("settle is not a number") << "--watch --settle soon" << "soon";
        QTest::newRow("negative settle") << "--watch --settle -1" << "-1";
        QTest::newRow("settle without watch") << "--generate --settle 2" << "--watch";
        QTest::newRow("empty input path") << "--generate --input=" << "empty";
    }
    void usageMistakes()
    {
        QFETCH(QString, line);
        QFETCH(QString, mentions);
        const Result<Options> parsed = parseOptions(args(line));
        QVERIFY(!parsed.ok());
        QVERIFY2(parsed.error().operation.contains(mentions), qPrintable(parsed.error().operation));
    }

    void optionsAreRead()
    {
        const Result<Options> parsed = parseOptions(
            args("--watch --input in --output=out --base-url http://h/x/ --settings s.ini --settle 0.5 --quiet"));
        QVERIFY(parsed.ok());
        const Options &o = parsed.value();
        QCOMPARE(o.mode, Mode::Watch);
        QCOMPARE(*o.input, QStringLiteral("in"));
        QCOMPARE(*o.output, QStringLiteral("out"));
        QCOMPARE(*o.baseUrl, QStringLiteral("http://h/x/"));
        QCOMPARE(*o.settings, QStringLiteral("s.ini"));
        QCOMPARE(o.settleSeconds, 0.5);
        QVERIFY(o.quiet);
        const Result<Options> plain = parseOptions(args("--generate"));
        QVERIFY(plain.ok());
        QVERIFY(!plain.value().input && !plain.value().baseUrl && !plain.value().quiet);
        QCOMPARE(plain.value().settleSeconds, 5.0);
        QCOMPARE(parseOptions(args("--version")).value().mode, Mode::Version);
        QCOMPARE(versionText(), QStringLiteral("Yarrowfeed 1.0.2"));
    }

    // Stored values stand in for options not given; given ones win; paths come out absolute.
    void inputsFromStoredSettings_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("stored");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("baseUrl");
        QTest::addColumn<QString>("error");
        QTest::newRow("all stored") << "--generate" << true << "/srv/in" << "/srv/out" << "http://stored/" << "";
        QTest::newRow("options win") << "--generate --input /a/./b/ --output /c/../d --base-url http://given/"
                                     << true << "/a/b" << "/d" << "http://given/" << "";
        QTest::newRow("nothing stored: default base URL") << "--generate --input /a --output /b" << false
                                                          << "/a" << "/b" << "http://10.1.2.3/" << "";
        QTest::newRow("relative input from the current directory") << "--generate --input rel --output /" << false
                                                                   << QDir::currentPath() + "/rel" << "/"
                                                                   << "http://10.1.2.3/" << "";
        QTest::newRow("no input anywhere") << "--generate --output /b" << false << "" << "" << "" << "--input";
        QTest::newRow("no output anywhere") << "--generate --input /a" << false << "" << "" << "" << "--output";
        QTest::newRow("base URL the run would refuse") << "--generate --base-url example.org/x" << true
                                                       << "" << "" << "" << "example.org/x";
    }
    void inputsFromStoredSettings()
    {
        QFETCH(QString, line);
        QFETCH(bool, stored);
        QTemporaryDir tmp;
        const QString ini = tmp.filePath("config.ini");
        if (stored) {
            QVERIFY(yf::writeSetting("RESTORE", "InputDir", "/srv/in", ini).ok());
            QVERIFY(yf::writeSetting("RESTORE", "OutputDir", "/srv/out", ini).ok());
            QVERIFY(yf::writeSetting("RESTORE", "BaseUrl", "http://stored/", ini).ok());
        }
        const Result<Options> options = parseOptions(args(line));
        QVERIFY2(options.ok(), options.ok() ? "" : qPrintable(options.error().operation));
        const Result<CommandLineRun> inputs = resolveRun(options.value(), ini, QStringLiteral("10.1.2.3"));
        QFETCH(QString, error);
        if (!error.isEmpty()) {
            QVERIFY(!inputs.ok());
            QVERIFY2(inputs.error().message().contains(error), qPrintable(inputs.error().message()));
            return;
        }
        QVERIFY2(inputs.ok(), inputs.ok() ? "" : qPrintable(inputs.error().message()));
        const RunRequest &request = inputs.value().request;
        QTEST(request.inputDir, "input");
        QCOMPARE(request.linkEntry, request.inputDir);
        QTEST(request.outputDir, "output");
        QTEST(request.baseUrl, "baseUrl");
        QCOMPARE(inputs.value().defaultBaseUrl, QStringLiteral("http://10.1.2.3/"));
        QCOMPARE(inputs.value().settingsPath, ini);
    }

    // A settings file that cannot be read stores nothing, and the sentence says why.
    void unreadableSettingsSayWhy()
    {
        QTemporaryDir tmp;
        const QString ini = tmp.filePath("config.ini");
        QVERIFY(QDir().mkdir(ini));  // a folder where the file should be
        const Result<CommandLineRun> inputs =
            resolveRun(parseOptions(args("--generate --output /b")).value(), ini, QStringLiteral("10.1.2.3"));
        QVERIFY(!inputs.ok());
        const QString message = inputs.error().message();
        QVERIFY2(message.contains("--input DIR") && message.contains("not a regular file"), qPrintable(message));
    }

    // Without a network address only a base URL given or stored makes playable links.
    void noAddressNeedsAGivenBaseUrl_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("storedBaseUrl");
        QTest::addColumn<QString>("baseUrl");  // "" when the run must be refused
        QTest::newRow("default needed: refused") << "--generate --input /a --output /b" << false << "";
        QTest::newRow("given on the command line") << "--generate --input /a --output /b --base-url http://h/"
                                                   << false << "http://h/";
        QTest::newRow("stored before") << "--generate --input /a --output /b" << true << "http://stored/";
    }
    void noAddressNeedsAGivenBaseUrl()
    {
        QFETCH(QString, line);
        QFETCH(bool, storedBaseUrl);
        QFETCH(QString, baseUrl);
        QTemporaryDir tmp;
        const QString ini = tmp.filePath("config.ini");
        if (storedBaseUrl)
            QVERIFY(yf::writeSetting("RESTORE", "BaseUrl", "http://stored/", ini).ok());
        const Result<Options> options = parseOptions(args(line));
        QVERIFY(options.ok());
        const Result<CommandLineRun> resolved = resolveRun(options.value(), ini, std::nullopt);
        if (baseUrl.isEmpty()) {
            QVERIFY(!resolved.ok());
            QCOMPARE(resolved.error().kind, ErrorKind::NoAddress);
            QVERIFY(resolved.error().message().contains("--base-url"));
            return;
        }
        QVERIFY(resolved.ok());
        QCOMPARE(resolved.value().request.baseUrl, baseUrl);
    }

    void exitStatusOfEachOutcome_data()
    {
        QTest::addColumn<RunOutcome>("outcome");
        QTest::addColumn<std::optional<Error>>("storeError");
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("quiet");
        QTest::addColumn<int>("status");
        QTest::addColumn<QStringList>("out");
        QTest::addColumn<QString>("errHas");
        RunOutcome done;
        done.feedsWritten = 4;
        QTest::newRow("finished") << done << std::optional<Error>{} << 0 << false << 0 << QStringList{"\"4\" XML files generated."} << "";
        QTest::newRow("finished, quiet") << done << std::optional<Error>{} << 0 << true << 0 << QStringList{} << "";
        QTest::newRow("signal came after the last feed") << done << std::optional<Error>{} << SIGTERM << false << 0
                                                         << QStringList{"\"4\" XML files generated."} << "";
        RunOutcome cancelled;
        cancelled.feedsWritten = 2;
        cancelled.error = Error::cancelled();
        QTest::newRow("SIGINT") << cancelled << std::optional<Error>{} << SIGINT << false << 130 << QStringList{}
                                << "\"2\" XML files generated before the run was cancelled.";
        QTest::newRow("SIGTERM, quiet still says so") << cancelled << std::optional<Error>{} << SIGTERM << true << 143 << QStringList{}
                                                      << "\"2\" XML files generated before";
        RunOutcome failed;
        failed.feedsWritten = 3;
        failed.error = Error::failure(ErrorKind::WriteFeed, "Cannot write feed", "/out/-A-.xml", "Is a directory");
        QTest::newRow("failed") << failed << std::optional<Error>{} << 0 << false << 1 << QStringList{}
                                << "Cannot write feed \"/out/-A-.xml\": Is a directory\n\n3 feed file(s) were written";
        RunOutcome refused;
        refused.error = Error::failure(ErrorKind::BadInput, "The base URL must be", "x");
        QTest::newRow("refused before it ran") << refused << std::optional<Error>{} << 0 << false << 2 << QStringList{} << "--help";
        RunOutcome skipped = done;
        skipped.skipped.push_back(Error::failure(ErrorKind::ListFolder, "Cannot list folder", "/in/Locked", "Permission denied"));
        const std::optional<Error> unwritable =
            Error::failure(ErrorKind::WriteSettings, "Cannot write settings file", "/etc/x", "denied");
        QTest::newRow("skipped folder and unwritable settings")
            << skipped << unwritable << 0 << true << 0 << QStringList{}
            << "Skipped: Cannot list folder \"/in/Locked\": Permission denied\n"
               "Warning: the directories, base URL and tags setting were not remembered: "
               "Cannot write settings file \"/etc/x\": denied";
        // Each removal a line of its own, the count still the feeds written, and exit 0.
        RunOutcome cleaned = done;
        cleaned.removedFeeds = {"/out/-Old-.xml", "/out/-Gone-.xml"};
        cleaned.cleanupProblems.push_back(
            Error::failure(ErrorKind::WriteFeed, "Cannot remove old feed", "/out/-Stuck-.xml", "Read-only file system"));
        QTest::newRow("old feeds removed, one that could not be")
            << cleaned << std::optional<Error>{} << 0 << false << 0 << QStringList{"\"4\" XML files generated."}
            << "Removed old feed \"/out/-Old-.xml\"\nRemoved old feed \"/out/-Gone-.xml\"\n"
               "Warning: Cannot remove old feed \"/out/-Stuck-.xml\": Read-only file system";
    }
    void exitStatusOfEachOutcome()
    {
        QFETCH(RunOutcome, outcome);
        QFETCH(std::optional<Error>, storeError);
        QFETCH(int, signal);
        QFETCH(bool, quiet);
        const Report report = reportRun(outcome, storeError, signal, quiet);
        QTEST(report.exitStatus, "status");
        QTEST(report.out, "out");
        QFETCH(QString, errHas);
        QVERIFY2(report.err.join('\n').contains(errHas), qPrintable(report.err.join('\n')));
        if (errHas.isEmpty())
            QVERIFY(report.err.isEmpty());
    }

    void localAddressRule_data()
    {
        QTest::addColumn<QStringList>("interfaces");  // "name flags address", flags of U R L
        QTest::addColumn<QString>("chosen");
        QTest::newRow("none") << QStringList{} << "";
        QTest::newRow("only the loopback") << QStringList{"lo URL 127.0.0.1"} << "";
        QTest::newRow("first suitable wins") << QStringList{"lo URL 127.0.0.1", "eth0 UR 10.0.0.5", "eth1 UR 10.0.0.6"}
                                             << "10.0.0.5";
        QTest::newRow("down or not running is passed over")
            << QStringList{"eth0 R 10.0.0.1", "eth1 U 10.0.0.2", "wlan0 UR 192.168.1.9"} << "192.168.1.9";
        QTest::newRow("IPv6 and address-less entries are passed over")
            << QStringList{"eth0 UR v6", "eth0 UR none", "eth0 UR 172.16.0.1"} << "172.16.0.1";
    }
    void localAddressRule()
    {
        QFETCH(QStringList, interfaces);
        std::vector<ifaddrs> list(static_cast<std::size_t>(interfaces.size()));
        std::vector<sockaddr_in> v4(list.size());
        std::vector<sockaddr_in6> v6(list.size());
        std::vector<QByteArray> names;
        for (std::size_t i = 0; i < list.size(); ++i) {
            const QStringList parts = interfaces[static_cast<int>(i)].split(' ');
            names.push_back(parts[0].toLatin1());
            ifaddrs &entry = list[i];
            entry = {};
            entry.ifa_next = i + 1 < list.size() ? &list[i + 1] : nullptr;
            entry.ifa_name = names.back().data();
            entry.ifa_flags = (parts[1].contains('U') ? IFF_UP : 0) | (parts[1].contains('R') ? IFF_RUNNING : 0)
                | (parts[1].contains('L') ? IFF_LOOPBACK : 0);
            if (parts[2] == "v6") {
                v6[i].sin6_family = AF_INET6;
                entry.ifa_addr = reinterpret_cast<sockaddr *>(&v6[i]);
            } else if (parts[2] != "none") {
                v4[i].sin_family = AF_INET;
                QCOMPARE(::inet_pton(AF_INET, parts[2].toLatin1().constData(), &v4[i].sin_addr), 1);
                entry.ifa_addr = reinterpret_cast<sockaddr *>(&v4[i]);
            }
        }
        QTEST(chooseLocalAddress(list.empty() ? nullptr : list.data()).value_or(QString()), "chosen");
    }

    // Runs into the watch limit after a few watches: the message names the limit, its
    // file and the sysctl that raises it.
    void watchLimitIsNamed()
    {
        QTemporaryDir tmp;
        fixture::makeTree(tmp.path(), {"in/A/", "in/B/", "in/B/C/", "in/D/", "out/"});
        QFile limit(tmp.filePath("max_user_watches"));
        QVERIFY(limit.open(QIODevice::WriteOnly));
        limit.write("3\n");
        limit.close();
        int added = 0;
        TreeWatcher watcher(tmp.filePath("in"), tmp.filePath("out"), tmp.filePath("config.ini"),
                            [&added](int fd, const char *path, std::uint32_t mask) {
                                if (added++ == 3) {
                                    errno = ENOSPC;
                                    return -1;
                                }
                                return ::inotify_add_watch(fd, path, mask);
                            },
                            limit.fileName());
        QVERIFY(watcher.open().ok());
        const Status synced = watcher.sync();
        QVERIFY(!synced.ok());
        const QString text = synced.error().message();
        QVERIFY2(text.contains("5 folders") && text.contains("(3, in " + limit.fileName() + ")")
                     && text.contains("sysctl fs.inotify.max_user_watches=1024"),
                 qPrintable(text));
    }

    // The watcher reports what can change a feed and nothing else: not the output
    // directory, not the settings file, not hidden names, not files of the input directory.
    void watcherSeesWhatMatters()
    {
        QTemporaryDir tmp;
        const QString in = tmp.filePath("in");
        fixture::makeTree(tmp.path(), {"in/A/a.mp3", "in/feeds/", "in/.hidden/", "in/Locked/", "in/Locked/!555",
                                       "in/Linked->A", "in/A/Back->.."});
        TreeWatcher watcher(in, in + "/feeds", in + "/A/config.ini");
        QVERIFY(watcher.open().ok());
        QVERIFY(watcher.sync().ok());
        QCOMPARE(watcher.watchCount(), 2);  // in and A: not feeds, .hidden, Locked or the links

        const auto changesAfter = [&](const QStringList &entries) {
            fixture::makeTree(tmp.path(), entries);
            return waitForChanges(watcher);
        };
        QVERIFY(!changesAfter({"in/feeds/-A-.xml"}).relevant);
        QVERIFY(!changesAfter({"in/A/config.ini=[RESTORE]"}).relevant);
        QVERIFY(!changesAfter({"in/A/.partial.mp3"}).relevant);
        QVERIFY(!changesAfter({"in/root file.mp3"}).relevant);
        QVERIFY(changesAfter({"in/A/b.mp3"}).relevant);

        // A new folder is watched at once, with what is below it.
        QVERIFY(changesAfter({"in/New/Deeper/"}).relevant);
        QCOMPARE(watcher.watchCount(), 4);
        QVERIFY(changesAfter({"in/New/Deeper/x.mp3"}).relevant);

        // Renamed and removed folders: changes follow the rename, removed ones drop out.
        QVERIFY(QDir(in).rename("New", "Renamed"));
        QVERIFY(waitForChanges(watcher).relevant);
        QVERIFY(changesAfter({"in/Renamed/Deeper/y.mp3"}).relevant);
        QVERIFY(QDir(in + "/Renamed").removeRecursively());
        QVERIFY(waitForChanges(watcher).relevant);
        QVERIFY(watcher.sync().ok());
        QCOMPARE(watcher.watchCount(), 2);

        QVERIFY(QDir(tmp.path()).rename("in", "moved"));
        QVERIFY(waitForChanges(watcher).rootGone);
    }
};

QTEST_GUILESS_MAIN(TestCliModules)
#include "tst_cli_modules.moc"
