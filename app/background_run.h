// Runs a generation off the window's thread and keeps a snapshot of how far it is.
#pragma once

#include "generate/generate.h"
#include "settings/stored_run.h"

#include <QObject>

#include <atomic>

class QThread;

namespace yf {

// One run at a time. The window reads progress() from its own thread while the worker
// writes it; finished() arrives on the window's thread once the worker has stopped.
class BackgroundRun : public QObject {
    Q_OBJECT

public:
    struct Progress {
        bool writing = false;    // false while the folders are still being found
        qsizetype found = 0;     // folders found so far, the input directory included
        qsizetype written = 0;   // feeds written so far
        qsizetype total = 0;     // feeds to write
    };

    explicit BackgroundRun(QObject *parent = nullptr);
    ~BackgroundRun() override;  // cancels and waits: no feed is left half-written

    // Starts the run, which stores `stored` in `settingsPath` once its scan has succeeded (see
    // storeRun); `clock` must stay alive until finished().
    void start(RunRequest request, StoredRun stored, QString settingsPath, QString defaultBaseUrl, const Clock &clock);
    bool isRunning() const { return m_thread != nullptr; }
    Progress progress() const;

    // Asks the worker to stop before its next folder.
    void cancel() { m_observer.cancel = true; }
    // Blocks until the worker has stopped; finished() still follows from the event loop.
    void wait();

signals:
    void finished(const yf::RunOutcome &outcome);

private:
    struct Observer final : RunObserver {
        std::atomic<bool> cancel{false};
        std::atomic<bool> writing{false};
        std::atomic<qsizetype> found{0};
        std::atomic<qsizetype> written{0};
        std::atomic<qsizetype> total{0};

        void foldersFound(qsizetype count) override { found.store(count, std::memory_order_relaxed); }
        void feedWritten(qsizetype done, qsizetype all) override;
        bool cancelRequested() const override { return cancel.load(std::memory_order_relaxed); }
    };

    void workerStopped();

    Observer m_observer;
    QThread *m_thread = nullptr;
    RunOutcome m_outcome;
};

} // namespace yf
