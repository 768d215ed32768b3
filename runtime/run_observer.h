// How a long run tells its caller how far it is, and learns that it should stop.
#pragma once

#include <QtGlobal>

namespace yf {

// Called from whichever thread runs the work; every method must be cheap.
class RunObserver {
public:
    virtual ~RunObserver() = default;
    virtual void foldersFound(qsizetype count) { Q_UNUSED(count); }
    // Once the scan has succeeded, before the first feed: the moment a caller remembers what
    // the run was asked to do (a run whose scan fails, or is refused, has stored nothing).
    virtual void scanned() {}
    // Reported once with done = 0 when writing starts, then after every feed.
    virtual void feedWritten(qsizetype done, qsizetype total) { Q_UNUSED(done); Q_UNUSED(total); }
    // Checked between folders; a true answer ends the run before the next folder.
    virtual bool cancelRequested() const { return false; }
};

} // namespace yf
