#include "cli/change_collector.h"

#include <algorithm>
#include <utility>

namespace yf::cli {

namespace {

void sortUnique(std::vector<QByteArray> &paths)
{
    std::sort(paths.begin(), paths.end());
    paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
}

} // namespace

void ChangeCollector::distrust(const QString &reason)
{
    if (m_reason.isEmpty())
        m_reason = reason;
}

ChangeCollector::Taken ChangeCollector::take()
{
    Taken taken;
    taken.changes = std::exchange(m_changes, {});
    sortUnique(taken.changes.folders);
    sortUnique(taken.changes.subtrees);
    const std::vector<QByteArray> &subtrees = taken.changes.subtrees;
    // A watch ends on its own when its folder goes: then the parent said so, and the folder,
    // or one it lay in, is a subtree of this burst. The kernel may tell the two in either order.
    for (const QByteArray &ended : std::exchange(m_ended, {})) {
        const bool seen = std::any_of(subtrees.begin(), subtrees.end(),
                                      [&ended](const QByteArray &subtree) { return ended.startsWith(subtree); });
        if (!seen)
            distrust(QStringLiteral("a watch was lost"));
    }
    taken.fullRunReason = std::exchange(m_reason, {});
    return taken;
}

} // namespace yf::cli
