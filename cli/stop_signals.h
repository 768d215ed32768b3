// The signals a run takes as a request to stop (SIGINT, SIGTERM, SIGHUP): remembered, and readable from a poll loop.
#pragma once

namespace yf::cli {

// Installs the handlers for SIGINT, SIGTERM and SIGHUP, and ignores SIGPIPE: a reader of
// standard output that went away makes writes fail (EPIPE) instead of ending the process.
// Call once, before any work starts, so a signal never finds the default action (which
// would end the process mid-feed).
void installStopSignals();

// The first stop signal received (SIGINT, SIGTERM or SIGHUP), or 0. Safe to call at any time.
int stopSignal();

// A descriptor that becomes readable once a stop signal has arrived, for poll().
int stopSignalFd();

// The exit status that tells a shell the program stopped on `signal`: 128 + its number.
inline int exitStatusFor(int signal) { return 128 + signal; }

} // namespace yf::cli
