#include "app/program_start.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace yf {

namespace {

bool isSet(const char *name)
{
    const char *value = std::getenv(name);
    return value && *value;
}

} // namespace

bool hasGraphicalSession(int argc, char *argv[])
{
    if (isSet("DISPLAY") || isSet("WAYLAND_DISPLAY") || isSet("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0)
            return true;
    }
    return false;
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
