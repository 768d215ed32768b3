// One Generate run of the core, timed: the scan and the feed writing apart.
#include "core_run.h"

#include "measure.h"

#include "runtime/clock.h"
#include "runtime/run_observer.h"
#include "settings/stored_run.h"

namespace bench {

namespace {

// Finds where the scan (and storing the settings) ends and the feeds begin. The run reports
// "0 feeds written" at that point; without that report, the last time it asks whether to
// stop before its first feed marks it (it asks before every folder it lists and before
// every feed it writes). Reading a monotonic clock there costs nanoseconds.
class PhaseClock final : public yf::RunObserver {
public:
    void feedWritten(qsizetype done, qsizetype) override
    {
        if (m_writing)
            return;
        m_writing = true;
        if (done == 0)
            m_lastCheck = wallSeconds();
    }
    bool cancelRequested() const override
    {
        if (!m_writing)
            m_lastCheck = wallSeconds();
        return false;
    }
    bool writing() const { return m_writing; }
    double lastCheckBeforeFeeds() const { return m_lastCheck; }

private:
    bool m_writing = false;
    mutable double m_lastCheck = 0;
};

} // namespace

yf::RunRequest runRequest(const std::string &library, const std::string &feeds, long helpers)
{
    yf::RunRequest request;
    request.inputDir = QString::fromStdString(library);
    request.linkEntry = request.inputDir;
    request.outputDir = QString::fromStdString(feeds);
    request.baseUrl = QStringLiteral("http://127.0.0.1/");
    request.helperThreads = static_cast<int>(helpers);
    return request;
}

bool measureRun(const yf::RunRequest &request, const QString &settingsPath, RunResult &result, std::string &error)
{
    const yf::SystemClock clock;
    PhaseClock phases;
    yf::StoreWhenScanned storing(phases, settingsPath,
                                 {request.inputDir, request.outputDir, request.baseUrl, request.readTags},
                                 request.baseUrl);
    const double start = wallSeconds();
    const yf::RunOutcome outcome = yf::generateFeeds(request, clock, &storing);
    const double end = wallSeconds();

    const double scanEnd = phases.writing() ? phases.lastCheckBeforeFeeds() : end;
    result.scanSeconds = scanEnd - start;
    result.feedSeconds = end - scanEnd;
    result.feeds = static_cast<long>(outcome.feedsWritten);
    result.tagFiles = outcome.tagFiles;
    if (outcome.error) {
        error = outcome.error->message().toStdString();
        return false;
    }
    if (storing.storeError()) {
        error = storing.storeError()->message().toStdString();
        return false;
    }
    return true;
}

} // namespace bench
