// What program start checks before any window toolkit is loaded: is there a screen to draw on.
#pragma once

namespace yf {

// True when the toolkit has somewhere to draw: an X or Wayland display is named, or a
// platform plugin is chosen explicitly (QT_QPA_PLATFORM, "-platform"), as tests and
// headless tools do.
bool hasGraphicalSession(int argc, char *argv[]);

// Prints the one line that says the window needs a graphical session and how to make the
// feeds without one, and gives the exit status for that case (2).
int reportNoGraphicalSession();

} // namespace yf
