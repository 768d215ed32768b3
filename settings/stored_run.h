// What a run leaves for the next one: the directories, the base URL and the tags switch, in the settings file.
#pragma once

#include "runtime/error.h"
#include "runtime/run_observer.h"

#include <QString>

#include <functional>
#include <optional>

namespace yf {

// The values as stored; each is empty when it is not stored.
struct StoredRun {
    QString inputDir;
    QString outputDir;
    QString baseUrl;
    // Whether episodes take their details from the media files' tags ("OPTIONS", "Tags").
    bool tags = false;
};

// The base URL a program starts with when none is stored: "http://", the address, "/".
QString defaultBaseUrl(const QString &localAddress);

// The stored values, read from the file at once. A settings file that cannot be read, or
// may not be (one of another user, say), counts as one that stores nothing, so a damaged
// file never keeps the program from starting; `problem`, when given, receives why.
StoredRun loadStoredRun(const QString &settingsPath, std::optional<Error> *problem = nullptr);

// Stores the directories, the base URL and the tags switch a run used, changing only their
// lines, in one read-edit-replace step (see changeSettings): another run storing at the same
// time leaves either its values or these, never a mix. A base URL equal to `defaultUrl` is
// removed instead, so that a machine whose address changes keeps getting the right default;
// so is the tags line when the switch is off. A value that cannot be stored stores nothing.
// `beforeReplace` is passed on (tests change the file there).
[[nodiscard]] Status storeRun(const QString &settingsPath, const StoredRun &run, const QString &defaultUrl,
                              const std::function<void()> &beforeReplace = {});

// Passes a run's progress on to `inner` and stores `run` once the scan has succeeded, the
// moment a run remembers what it was asked to do. Called on the run's thread.
class StoreWhenScanned final : public RunObserver {
public:
    StoreWhenScanned(RunObserver &inner, QString settingsPath, StoredRun run, QString defaultUrl);

    void foldersFound(qsizetype count) override { m_inner.foldersFound(count); }
    void scanned() override;
    void feedWritten(qsizetype done, qsizetype total) override { m_inner.feedWritten(done, total); }
    bool cancelRequested() const override { return m_inner.cancelRequested(); }

    // Why the values could not be stored; empty when they were, or the scan never succeeded.
    const std::optional<Error> &storeError() const { return m_error; }

private:
    RunObserver &m_inner;
    const QString m_settingsPath;
    const StoredRun m_run;
    const QString m_defaultUrl;
    std::optional<Error> m_error;
};

} // namespace yf
