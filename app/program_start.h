// What program start checks before any window toolkit is loaded: is there a screen to draw on.
#pragma once

struct xcb_connection_t;

namespace yf {

// True when the toolkit has somewhere to draw: an X or Wayland display is named, or a
// platform plugin is chosen explicitly (QT_QPA_PLATFORM, "-platform"), as tests and
// headless tools do.
bool hasGraphicalSession(int argc, char *argv[]);

// Prints the one line that says the window needs a graphical session and how to make the
// feeds without one, and gives the exit status for that case (2).
int reportNoGraphicalSession();

// Whether the X display the toolkit would draw on opens: it does not when it is named but
// its server is gone or refuses us, where the toolkit would abort. Another platform chosen,
// or Wayland named, is left to the toolkit. The connection stays open while this object
// lives: an X server with no other client resets when its last one leaves, and refuses the
// toolkit's own connection meanwhile, so keep it until the toolkit has connected.
class DisplayCheck {
public:
    DisplayCheck(int argc, char *argv[]);
    ~DisplayCheck();
    DisplayCheck(const DisplayCheck &) = delete;
    DisplayCheck &operator=(const DisplayCheck &) = delete;
    bool opens() const { return m_opens; }

private:
    xcb_connection_t *m_connection = nullptr;
    bool m_opens = true;
};

// The one line for a display that cannot be opened, and the exit status for it (2).
int reportDisplayFails();

} // namespace yf
