// Gathers what a burst of inotify events says changed, and whether the events can be trusted.
#pragma once

#include "generate/incremental_run.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace yf::cli {

class ChangeCollector {
public:
    // A folder whose own entries changed (paths end in "/").
    void folder(const QByteArray &path) { m_changes.folders.push_back(path); }
    // A folder that came, went, was renamed or changed attributes: listed again from there down.
    void subtree(const QByteArray &path) { m_changes.subtrees.push_back(path); }
    // The kernel dropped the watch of `path` without being asked: fine when the folder's going
    // was seen through its parent in the same burst, else a change may have been missed.
    void watchEnded(const QByteArray &path) { m_ended.push_back(path); }
    // Changes may have been missed; the first reason is the one told.
    void distrust(const QString &reason);

    bool empty() const { return m_changes.folders.empty() && m_changes.subtrees.empty() && m_reason.isEmpty(); }

    struct Taken {
        TreeChangeList changes;  // each path once
        QString fullRunReason;   // empty when the changes tell all
    };
    // What was gathered since the last take; gathering starts afresh.
    Taken take();

private:
    TreeChangeList m_changes;
    std::vector<QByteArray> m_ended;
    QString m_reason;
};

} // namespace yf::cli
