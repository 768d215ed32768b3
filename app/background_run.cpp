#include "app/background_run.h"

#include <QThread>

namespace yf {

void BackgroundRun::Observer::feedWritten(qsizetype done, qsizetype all)
{
    total.store(all, std::memory_order_relaxed);
    written.store(done, std::memory_order_relaxed);
    writing.store(true, std::memory_order_relaxed);
}

BackgroundRun::BackgroundRun(QObject *parent) : QObject(parent) {}

BackgroundRun::~BackgroundRun()
{
    if (m_thread) {
        cancel();
        m_thread->wait();
        delete m_thread;
    }
}

void BackgroundRun::start(RunRequest request, StoredRun stored, QString settingsPath, QString defaultBaseUrl,
                          const Clock &clock)
{
    Q_ASSERT(!m_thread);
    m_observer.cancel = false;
    m_observer.writing = false;
    m_observer.found = 0;
    m_observer.written = 0;
    m_observer.total = 0;
    m_outcome = {};
    // A failure to store the directories is not reported: the feeds are complete, and a
    // settings file the user made read-only is meant to stay as it is.
    m_thread = QThread::create([this, request = std::move(request), stored = std::move(stored),
                                settingsPath = std::move(settingsPath), defaultBaseUrl = std::move(defaultBaseUrl),
                                &clock] {
        StoreWhenScanned storing(m_observer, settingsPath, stored, defaultBaseUrl);
        m_outcome = generateFeeds(request, clock, &storing);
    });
    // Queued: QThread::finished is emitted on the worker; the outcome is read here, after it.
    connect(m_thread, &QThread::finished, this, &BackgroundRun::workerStopped, Qt::QueuedConnection);
    m_thread->start();
}

BackgroundRun::Progress BackgroundRun::progress() const
{
    Progress p;
    p.writing = m_observer.writing.load(std::memory_order_relaxed);
    p.found = m_observer.found.load(std::memory_order_relaxed);
    p.written = m_observer.written.load(std::memory_order_relaxed);
    p.total = m_observer.total.load(std::memory_order_relaxed);
    return p;
}

void BackgroundRun::wait()
{
    if (m_thread)
        m_thread->wait();
}

void BackgroundRun::workerStopped()
{
    if (!m_thread)
        return;
    m_thread->wait();
    delete m_thread;
    m_thread = nullptr;
    emit finished(m_outcome);
}

} // namespace yf
