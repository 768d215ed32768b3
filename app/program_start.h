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

// False when the X display the toolkit would draw on is named but cannot be opened (a
// server that is gone, a display without permission): the toolkit would abort there.
// True whenever another platform is chosen or Wayland is named, as the toolkit decides those.
bool displayOpens(int argc, char *argv[]);

// The one line for a display that cannot be opened, and the exit status for it (2).
int reportDisplayFails();

} // namespace yf
