#include "cli/command_line.h"

#include "cli/options.h"
#include "cli/progress.h"
#include "cli/report.h"
#include "cli/stop_signals.h"
#include "cli/watch_loop.h"
#include "runtime/file_system.h"
#include "runtime/local_address.h"
#include "settings/settings_location.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace yf::cli {

namespace {

// Qt's options for a window program, with whether a value follows ("-style fusion").
struct WindowOption {
    const char *name;
    bool takesValue;
};
constexpr WindowOption kWindowOptions[] = {
    {"platform", true}, {"platformpluginpath", true}, {"platformtheme", true}, {"plugin", true},
    {"qwindowgeometry", true}, {"qwindowicon", true}, {"qwindowtitle", true}, {"session", true},
    {"display", true}, {"geometry", true}, {"style", true}, {"stylesheet", true},
    {"reverse", false}, {"widgetcount", false}, {"nograb", false}, {"dograb", false}, {"sync", false},
};

// A directory the run needs must be there before anything is stored or written.
Status checkDirectory(const QString &path, const char *which)
{
    struct stat st;
    const QString operation = QStringLiteral("Cannot use the %1 directory").arg(QLatin1String(which));
    if (::stat(fs::encodePath(path).constData(), &st) != 0)
        return Error::fromErrno(ErrorKind::BadInput, operation, path, errno);
    if (!S_ISDIR(st.st_mode))
        return Error::fromErrno(ErrorKind::BadInput, operation, path, ENOTDIR);
    return {};
}

// A watcher started before the network (at login, say) waits for an address rather than
// publishing links to the loopback: it looks again once every settle period.
Result<CommandLineRun> waitForNetworkAddress(const Options &options, const QString &settingsPath,
                                             Result<CommandLineRun> resolved)
{
    const int periodMs = std::max(1000, static_cast<int>(options.settleSeconds * 1000));
    if (!options.quiet)
        std::fprintf(stderr, "%s Waiting for a network address for the default base URL.\n",
                     QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toUtf8().constData());
    while (!resolved.ok() && resolved.error().kind == ErrorKind::NoAddress && stopSignal() == 0) {
        pollfd stop{stopSignalFd(), POLLIN, 0};
        ::poll(&stop, stopSignalFd() >= 0 ? 1 : 0, periodMs);
        if (stopSignal() == 0)
            resolved = resolveRun(options, settingsPath, networkAddress());
    }
    return resolved;
}

// A standard stream that is closed would hand its number to the next descriptor made (the
// stop-signal pipe, a feed, the settings file), and a message printed later would land in
// it: give it /dev/null.
void openClosedStandardStreams()
{
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null < 0)
            continue;
        if (null != fd) {
            ::dup2(null, fd);  // without O_CLOEXEC: a program started from here gets it too
            ::close(null);
        } else {
            ::fcntl(fd, F_SETFD, 0);
        }
    }
}

int generateOnce(const CommandLineRun &run, bool quiet)
{
    CommandLineObserver observer(STDERR_FILENO, ::isatty(STDERR_FILENO) == 1);
    const Report report = runAndReport(run, observer, quiet);
    print(report);
    return report.exitStatus;
}

} // namespace

bool wantsCommandLine(int argc, const char *const argv[])
{
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        if (arg[0] != '-')
            return true;
        const char *name = arg + (arg[1] == '-' ? 2 : 1);  // Qt takes "--style" like "-style"
        const char *equals = std::strchr(name, '=');
        const std::size_t length = equals ? static_cast<std::size_t>(equals - name) : std::strlen(name);
        const WindowOption *match = nullptr;
        for (const WindowOption &option : kWindowOptions) {
            if (std::strlen(option.name) == length && std::strncmp(option.name, name, length) == 0)
                match = &option;
        }
        if (!match)
            return true;
        if (match->takesValue && !equals)
            ++i;
    }
    return false;
}

int run(int argc, char *argv[])
{
    // Before any descriptor is made, so that none takes a standard stream's number.
    openClosedStandardStreams();
    // Then at once: a signal that comes early must still find the handler, not the default.
    installStopSignals();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("yarrowfeed"));

    const Result<Options> parsed = parseOptions(QCoreApplication::arguments());
    if (!parsed.ok()) {
        const Report report = usageReport(parsed.error().operation);
        print(report);
        return report.exitStatus;
    }
    const Options &options = parsed.value();
    if (options.mode == Mode::Help) {
        std::fputs(options.helpText.toUtf8().constData(), stdout);
        return ExitOk;
    }
    if (options.mode == Mode::Version) {
        std::printf("%s\n", versionText().toUtf8().constData());
        return ExitOk;
    }

    const QString settingsPath = options.settings ? QDir::current().absoluteFilePath(*options.settings)
                                                  : settingsFilePath();
    Result<CommandLineRun> resolved = resolveRun(options, settingsPath, networkAddress());
    if (!resolved.ok() && resolved.error().kind == ErrorKind::NoAddress && options.mode == Mode::Watch) {
        resolved = waitForNetworkAddress(options, settingsPath, std::move(resolved));
        if (stopSignal() != 0)
            return exitStatusFor(stopSignal());
    }
    if (!resolved.ok() && resolved.error().kind == ErrorKind::NoAddress) {
        Report report;
        report.exitStatus = ExitFailed;
        report.err << QStringLiteral("yarrowfeed: ") + resolved.error().message();
        print(report);
        return report.exitStatus;
    }
    if (!resolved.ok()) {
        const Report report = usageReport(resolved.error().message());
        print(report);
        return report.exitStatus;
    }
    const CommandLineRun &commandLineRun = resolved.value();
    for (const auto &[path, which] : {std::pair{commandLineRun.request.inputDir, "input"},
                                      std::pair{commandLineRun.request.outputDir, "output"}}) {
        if (const Status usable = checkDirectory(path, which); !usable.ok()) {
            Report report;
            report.exitStatus = ExitFailed;
            report.err << usable.error().message();
            print(report);
            return report.exitStatus;
        }
    }
    if (options.mode == Mode::Watch)
        return watchFeeds(commandLineRun, WatchPacing{options.settleSeconds, options.fullEveryMinutes}, options.quiet);
    return generateOnce(commandLineRun, options.quiet);
}

} // namespace yf::cli
