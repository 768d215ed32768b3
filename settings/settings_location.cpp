#include "settings/settings_location.h"

#include "runtime/file_system.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QStringList>

#include <sys/stat.h>
#include <unistd.h>

namespace yf {

namespace {

bool mayWrite(const QString &path) { return ::access(fs::encodePath(path).constData(), W_OK) == 0; }

bool exists(const QString &path)
{
    struct stat st;
    return ::stat(fs::encodePath(path).constData(), &st) == 0;
}

// Folders that hold installed programs. Root may write them, but a settings file left
// there belongs to no package and outlives the program's removal.
bool isSystemProgramFolder(const QString &dir)
{
    static const QStringList system = {QStringLiteral("/usr/bin"), QStringLiteral("/usr/local/bin"),
                                       QStringLiteral("/bin"), QStringLiteral("/usr/sbin"),
                                       QStringLiteral("/sbin"), QStringLiteral(YARROWFEED_INSTALL_BINDIR)};
    return system.contains(dir);
}

} // namespace

QString settingsFilePath(const QString &programDir, const QString &configDir)
{
    const QString beside = programDir + QStringLiteral("/config.ini");
    if (exists(beside) ? mayWrite(beside) || mayWrite(programDir)
                       : mayWrite(programDir) && !isSystemProgramFolder(programDir))
        return beside;
    return configDir + QStringLiteral("/config.ini");
}

QString settingsFilePath()
{
    return settingsFilePath(QCoreApplication::applicationDirPath(),
                            QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
}

} // namespace yf
