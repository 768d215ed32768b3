#include "settings/settings_location.h"

#include "runtime/file_system.h"

#include <QCoreApplication>
#include <QDir>
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

QString userConfigHome(const QString &xdgConfigHome, const QString &home)
{
    if (!xdgConfigHome.isEmpty() && QDir::isAbsolutePath(xdgConfigHome))
        return QDir::cleanPath(xdgConfigHome);
    return home + QStringLiteral("/.config");
}

QString userSettingsFolder()
{
    // Qt builds the program's folder below the configuration home (adding the organization
    // and program names), but takes a relative XDG_CONFIG_HOME as it is: that part is
    // replaced by the one the rules give.
    const QString configHome = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString programFolder = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    const QString home = userConfigHome(qEnvironmentVariable("XDG_CONFIG_HOME"), QDir::homePath());
    if (!configHome.isEmpty() && programFolder.startsWith(configHome))
        return QDir::cleanPath(home + QLatin1Char('/') + programFolder.mid(configHome.size()));
    return programFolder;
}

QString settingsFilePath()
{
    return settingsFilePath(QCoreApplication::applicationDirPath(), userSettingsFolder());
}

} // namespace yf
