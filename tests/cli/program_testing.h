// Runs the real program as a server would: no display, no Qt platform chosen.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cli_testing {

inline QString program() { return QStringLiteral(YARROWFEED_PROGRAM); }

// The environment of a machine without a graphical session.
inline QProcessEnvironment headless()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    return env;
}

struct Finished {
    int status = -1;
    bool crashed = true;
    QByteArray out;
    QByteArray err;
};

inline Finished runProgram(const QStringList &arguments, const QString &executable = program(), int timeoutMs = 60000)
{
    QProcess process;
    process.setProcessEnvironment(headless());
    process.start(executable, arguments);
    Finished result;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.crashed = process.exitStatus() != QProcess::NormalExit;
    result.status = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// Quick trees of many folders: one file each, made with plain system calls.
inline bool makeFolders(const QString &root, int count)
{
    for (int i = 0; i < count; ++i) {
        const QByteArray folder = QFile::encodeName(root) + QByteArray("/F") + QByteArray::number(i);
        if (::mkdir(folder.constData(), 0755) != 0)
            return false;
        const int fd = ::open((folder + "/ep.mp3").constData(), O_CREAT | O_WRONLY, 0644);
        if (fd < 0)
            return false;
        ::close(fd);
    }
    return true;
}

// A --watch process started with `arguments` after "--watch", and the lines it printed so far.
struct WatchProcess {
    QProcess process;
    QStringList printed;

    explicit WatchProcess(const QStringList &arguments, const QProcessEnvironment &environment = headless())
    {
        process.setProcessEnvironment(environment);
        process.start(program(), QStringList{"--watch"} + arguments);
        process.waitForStarted();
    }
    ~WatchProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    QStringList &lines()
    {
        while (process.canReadLine())
            printed << QString::fromUtf8(process.readLine()).chopped(1);
        return printed;
    }
    // The runs that finished so far: each says how many feeds it wrote.
    qsizetype runs() { return lines().filter(QStringLiteral("XML files generated.")).size(); }
    // Waits until no run has finished for `quietMs`, the first `atLeast` runs having
    // finished; false when that takes longer than `timeoutMs` or the process ended.
    bool waitForQuiet(int quietMs, int timeoutMs, qsizetype atLeast = 0)
    {
        QElapsedTimer timer;
        timer.start();
        qsizetype seen = runs();
        qint64 lastSeenAt = 0;
        while (timer.elapsed() < timeoutMs && process.state() == QProcess::Running) {
            process.waitForReadyRead(50);
            if (const qsizetype now = runs(); now != seen) {
                seen = now;
                lastSeenAt = timer.elapsed();
            }
            if (seen >= atLeast && timer.elapsed() - lastSeenAt >= quietMs)
                return true;
        }
        return false;
    }
    // Sends `signal` and returns the exit status, -1 when it did not end normally.
    int stop(int signal = SIGTERM)
    {
        ::kill(static_cast<pid_t>(process.processId()), signal);
        if (!process.waitForFinished(10000) || process.exitStatus() != QProcess::NormalExit)
            return -1;
        return process.exitCode();
    }
};

// Every file in `dir` (hidden ones too) with its bytes.
inline QMap<QString, QByteArray> filesWithBytes(const QString &dir)
{
    QMap<QString, QByteArray> files;
    for (const QString &name : QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        QFile file(dir + QLatin1Char('/') + name);
        files[name] = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
    }
    return files;
}

// Where two directories' files differ, for a message; empty when they are equal.
inline QString firstDifference(const QMap<QString, QByteArray> &seen, const QMap<QString, QByteArray> &expected)
{
    if (seen.keys() != expected.keys())
        return QStringLiteral("files %1 instead of %2").arg(seen.keys().join(' '), expected.keys().join(' '));
    for (auto it = seen.begin(); it != seen.end(); ++it) {
        const QByteArray &want = expected[it.key()];
        if (it.value() == want)
            continue;
        qsizetype at = 0;
        while (at < it.value().size() && at < want.size() && it.value()[at] == want[at])
            ++at;
        return QStringLiteral("%1 differs at byte %2: \"%3\" instead of \"%4\"")
            .arg(it.key())
            .arg(at)
            .arg(QString::fromUtf8(it.value().mid(std::max<qsizetype>(0, at - 40), 120)),
                 QString::fromUtf8(want.mid(std::max<qsizetype>(0, at - 40), 120)));
    }
    return {};
}

} // namespace cli_testing
