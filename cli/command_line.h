// The program without a window: one run (--generate) or runs whenever the tree changes (--watch).
#pragma once

namespace yf::cli {

// True when the arguments ask for the command line. Only Qt's own window options
// ("-platform xcb", "-style fusion", ...) leave the program the window; any other
// argument, a mistaken one included, goes to the command line, which says what is wrong.
bool wantsCommandLine(int argc, const char *const argv[]);

// Runs the command line with a QCoreApplication (no display needed) and returns the exit
// status: 0 success, 1 a failed run, 2 a usage mistake, 128 + the signal when SIGINT,
// SIGTERM or SIGHUP stopped it.
int run(int argc, char *argv[]);

} // namespace yf::cli
