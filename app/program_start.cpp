#include "app/program_start.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <xcb/xcb.h>

namespace yf {

namespace {

bool isSet(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value;
}

bool platformChosen(int argc, char *argv[])
{
    if (isSet("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    return false;
}

} // namespace

bool hasGraphicalSession(int argc, char *argv[])
{
    return isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || platformChosen(argc, argv);
}

DisplayCheck::DisplayCheck(int argc, char *argv[])
{
    if (platformChosen(argc, argv) || isSet("WAYLAND_DISPLAY") || !isSet("DISPLAY"))
        return;
    m_connection = xcb_connect(nullptr, nullptr);
    m_opens = xcb_connection_has_error(m_connection) == 0;
}

DisplayCheck::~DisplayCheck()
{
    if (m_connection)
        xcb_disconnect(m_connection);
}

int reportDisplayFails()
{
    std::fprintf(stderr,
                 "yarrowfeed: cannot open the display \"%s\" (DISPLAY); to make the feeds without a window, "
                 "run \"yarrowfeed --generate\" (see \"yarrowfeed --help\")\n",
                 std::getenv("DISPLAY"));
    return 2;
}

int reportNoGraphicalSession()
{
    // Without this, the toolkit aborts with a core-dump message that tells a user nothing.
    std::fputs("yarrowfeed: the window needs a graphical session (neither DISPLAY nor WAYLAND_DISPLAY "
               "is set); to make the feeds without a window, run \"yarrowfeed --generate\" "
               "(see \"yarrowfeed --help\")\n",
               stderr);
    return 2;
}

} // namespace yf
