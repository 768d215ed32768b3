// Builds small folder trees inside a temporary directory for the tests.
#pragma once

#include "generate/feed_index.h"
#include "generate/published_feeds.h"
#include "settings/ini_file.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <vector>
#include <unistd.h>

namespace fixture {

// Each entry is one path below `root`:
//   "Talks/"            a folder
//   "Talks/Ep 1.mp3"    an empty file (parents made as needed)
//   "Talks/a.mp3=xyz"   a file with the text after "="
//   "Link->Talks"       a symbolic link to the text after "->"
//   "Locked/!555"       chmod the folder to the octal mode after "!"
inline void makeTree(const QString &root, const QStringList &entries)
{
    for (const QString &entry : entries) {
        if (const qsizetype arrow = entry.indexOf(QLatin1String("->")); arrow > 0) {
            const QString link = root + QLatin1Char('/') + entry.left(arrow);
            QDir().mkpath(QFileInfo(link).path());
            QVERIFY2(::symlink(QFile::encodeName(entry.mid(arrow + 2)).constData(),
                               QFile::encodeName(link).constData()) == 0, qPrintable(link));
        } else if (const qsizetype bang = entry.indexOf(QLatin1String("/!")); bang > 0) {
            const QString dir = root + QLatin1Char('/') + entry.left(bang);
            QVERIFY(::chmod(QFile::encodeName(dir).constData(), entry.mid(bang + 2).toUInt(nullptr, 8)) == 0);
        } else if (entry.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir().mkpath(root + QLatin1Char('/') + entry));
        } else {
            const qsizetype eq = entry.indexOf(QLatin1Char('='));
            const QString path = root + QLatin1Char('/') + (eq < 0 ? entry : entry.left(eq));
            QDir().mkpath(QFileInfo(path).path());
            QFile f(path);
            QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
            if (eq >= 0)
                f.write(entry.mid(eq + 1).toUtf8());
        }
    }
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

// The files in `dir`, hidden ones included (a temporary file left behind shows), but for the
// run's own list of its feeds and its index page and OPML file, which the tests about them look at themselves.
inline QStringList filesIn(const QString &dir)
{
    QStringList names = QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
    names.removeAll(QString::fromLatin1(yf::kPublishedFeedsFile));
    names.removeAll(QString::fromLatin1(yf::kIndexPageFile));
    names.removeAll(QString::fromLatin1(yf::kOpmlFile));
    names.sort();
    return names;
}

// The value stored under `key` in `section`; "" when it is missing or cannot be read.
inline QString setting(const char *section, const char *key, const QString &path)
{
    const yf::Result<QString> value = yf::readSetting(QString::fromLatin1(section), QString::fromLatin1(key), path);
    return value.ok() ? value.value() : QString();
}

// `levels` folders named `name`, each inside the one before, below `folder`. Made one level
// at a time through open folders, since the deepest lie beyond what a path may name.
inline bool makeChain(const QByteArray &folder, const char *name, int levels)
{
    int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int k = 0; fd >= 0 && k < levels; ++k) {
        const int next = ::mkdirat(fd, name, 0755) == 0 ? ::openat(fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        ::close(fd);
        fd = next;
    }
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

// Removes what makeChain made, deepest first; a temporary folder's own removal goes by path
// and could not reach that far.
inline void removeChain(const QByteArray &folder, const char *name)
{
    std::vector<int> fds{::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    while (fds.back() >= 0)
        fds.push_back(::openat(fds.back(), name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    fds.pop_back();
    while (fds.size() > 1) {
        ::close(fds.back());
        fds.pop_back();
        ::unlinkat(fds.back(), name, AT_REMOVEDIR);
    }
    if (fds.back() >= 0)
        ::close(fds.back());
}

// Runs `work` as an unprivileged user when this process is root, since root may list any
// folder whatever its mode; else right here. Returns what `work` returned.
inline QStringList asUnprivileged(const std::function<QStringList()> &work)
{
    if (::geteuid() != 0)
        return work();
    int out[2];
    if (::pipe(out) != 0)
        return {"pipe failed"};
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        const gid_t nogroup = 65534;
        if (::setgroups(1, &nogroup) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        const QByteArray text = work().join('\n').toUtf8();
        for (qsizetype at = 0; at < text.size();) {
            const ssize_t n = ::write(out[1], text.constData() + at, std::size_t(text.size() - at));
            if (n <= 0)
                ::_exit(4);
            at += n;
        }
        ::_exit(0);
    }
    ::close(out[1]);
    QByteArray text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;)
        text.append(buffer, n);
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {QStringLiteral("child failed with status %1").arg(status)};
    return text.isEmpty() ? QStringList() : QString::fromUtf8(text).split('\n');
}

} // namespace fixture
