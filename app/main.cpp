// Program start: the one window, with the machine's real services, until it goes away.
#include "app/desktop.h"
#include "app/main_window.h"
#include "cli/command_line.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    if (yf::cli::wantsCommandLine(argc, argv)) return yf::cli::run(argc, argv);  // no window, no display
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Yarrowfeed"));

    const yf::SystemClock clock;
    yf::Form1 window(QCoreApplication::applicationDirPath() + QStringLiteral("/config.ini"),
                     yf::systemLocalAddress, clock, yf::openInFileBrowser);
    window.show();
    window.activateWindow();  // bare X servers have no window manager to do it
    return QApplication::exec();
}
