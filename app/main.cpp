// Program start: the one window, with the machine's real services, until it goes away.
#include "app/desktop.h"
#include "app/main_window.h"
#include "app/program_start.h"
#include "cli/command_line.h"
#include "runtime/local_address.h"
#include "settings/settings_location.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (yf::cli::wantsCommandLine(argc, argv))
        return yf::cli::run(argc, argv);  // no window, no display
    if (!yf::hasGraphicalSession(argc, argv))
        return yf::reportNoGraphicalSession();
    const yf::DisplayCheck display(argc, argv);  // kept until the window's own connection is made
    if (!display.opens())
        return yf::reportDisplayFails();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("yarrowfeed"));  // ~/.config/yarrowfeed
    QGuiApplication::setDesktopFileName(QString::fromLatin1(yf::kApplicationId));

    const yf::SystemClock clock;
    yf::MainWindow window(yf::settingsFilePath(), yf::localAddress, clock, yf::openInFileBrowser);
    window.show();
    window.activateWindow();  // bare X servers have no window manager to do it
    return QApplication::exec();
}
