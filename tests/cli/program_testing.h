// Runs the real program as a server would: no display, no Qt platform chosen.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

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

} // namespace cli_testing
