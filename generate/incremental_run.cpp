#include "generate/incremental_run.h"

#include <utility>

namespace yf {

struct IncrementalRun::Kept {};

IncrementalRun::IncrementalRun(RunRequest request, const Clock &clock)
    : m_request(std::move(request)), m_clock(clock)
{
}

IncrementalRun::~IncrementalRun() = default;

RunOutcome IncrementalRun::fullRun(RunObserver *observer)
{
    RunOutcome outcome = generateFeeds(m_request, m_clock, observer);
    m_kept.reset(outcome.finished() ? new Kept : nullptr);
    return outcome;
}

bool IncrementalRun::ready() const { return m_kept != nullptr; }

RunOutcome IncrementalRun::update(const TreeChangeList &changes, RunObserver *observer)
{
    Q_UNUSED(changes);
    // Until the kept tree is built, an update is a full run.
    return fullRun(observer);
}

std::size_t IncrementalRun::keptBytes() const { return 0; }

} // namespace yf
