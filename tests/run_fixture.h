// One Generate run set up in a temporary directory, as the window starts it, for the core tests.
#pragma once

#include "fixture.h"
#include "generate/generate.h"
#include "settings/ini_file.h"
#include "settings/stored_run.h"

#include <QMap>
#include <QPair>
#include <QTemporaryDir>

#include <csignal>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>

namespace fixture {

class FixedClock : public yf::Clock {
public:
    qint64 nowSecs() const override { return 1767517507; }
};

// A run of "<tmp>/in" into "<tmp>/out" under "http://127.0.0.1/", links starting at the input
// directory's parent; the directories are remembered in `settingsPath`, as the window does.
struct RunSetup {
    QTemporaryDir tmp;
    yf::RunRequest request;
    QString settingsPath;
    FixedClock clock;
    std::optional<yf::Error> storeError;  // of the last run

    explicit RunSetup(const QString &settingsFile = QStringLiteral("config.ini"))
    {
        request.inputDir = tmp.path() + "/in";
        request.linkEntry = request.inputDir;
        request.outputDir = tmp.path() + "/out";
        request.baseUrl = "http://127.0.0.1/";
        settingsPath = tmp.path() + '/' + settingsFile;
        QDir().mkpath(request.inputDir);
        QDir().mkpath(request.outputDir);
    }

    yf::RunOutcome run(yf::RunObserver *observer = nullptr)
    {
        yf::RunObserver none;
        yf::StoreWhenScanned storing(observer ? *observer : none, settingsPath,
                                     {request.inputDir, request.outputDir, request.baseUrl},
                                     yf::defaultBaseUrl("127.0.0.1"));
        yf::RunOutcome outcome = yf::generateFeeds(request, clock, &storing);
        storeError = storing.storeError();
        return outcome;
    }

    QString in(const QString &relative) const { return request.inputDir + '/' + relative; }
    QStringList feeds() const { return filesIn(request.outputDir); }
    QString stored(const char *key) const
    {
        const yf::Result<QString> value = yf::readSetting("RESTORE", key, settingsPath);
        return value.ok() ? value.value() : QString();
    }

    // Every feed file with its bytes and its modification time in nanoseconds.
    QMap<QString, QPair<QByteArray, qint64>> snapshot() const
    {
        QMap<QString, QPair<QByteArray, qint64>> files;
        for (const QString &name : feeds()) {
            struct stat st;
            const QString path = request.outputDir + '/' + name;
            if (::stat(QFile::encodeName(path).constData(), &st) == 0)
                files[name] = {readFile(path), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
        }
        return files;
    }
};

// While it lives, no file this process writes may grow past `bytes`; a write past it fails
// with "File too large" instead of killing the process: a full disk, for failures on the
// output side that no permission stops root from meeting.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_before);
        m_handler = ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, m_before.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_before);
        ::signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_before{};
    void (*m_handler)(int) = SIG_DFL;
};

} // namespace fixture
