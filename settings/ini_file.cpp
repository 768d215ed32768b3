#include "settings/ini_file.h"

#include "runtime/file_system.h"

#include <QSaveFile>

#include <SimpleIni.h>

#include <cerrno>
#include <string>
#include <sys/stat.h>

namespace yf {

namespace {

void configure(CSimpleIniA &ini)
{
    ini.SetUnicode(true);
    ini.SetMultiKey(false);
    ini.SetMultiLine(false);
    ini.SetSpaces(false);
    ini.SetQuotes(true);  // keeps blanks at either end of a value
}

Error settingsError(const char *operation, const QString &path, const QString &reason)
{
    return Error{ErrorKind::WriteSettings, QString::fromLatin1(operation), path, reason, 0};
}

} // namespace

QString ReadIniValue(const QString &section, const QString &key, const QString &path)
{
    CSimpleIniA ini;
    configure(ini);
    if (ini.LoadFile(fs::encodePath(path).constData()) < 0)
        return {};
    const char *value = ini.GetValue(section.toUtf8().constData(), key.toUtf8().constData(), "");
    return QString::fromUtf8(value);
}

Status WriteIniValue(const QString &section, const QString &key, const QString &value,
                     const QString &path)
{
    const QByteArray nativePath = fs::encodePath(path);
    struct stat st;
    const bool exists = ::stat(nativePath.constData(), &st) == 0;
    if (exists && !(st.st_mode & S_IWUSR))
        return {};
    if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r')))
        return settingsError("Cannot store a value with a line break in the settings file", path, {});

    CSimpleIniA ini;
    configure(ini);
    if (exists) {
        const SI_Error loaded = ini.LoadFile(nativePath.constData());
        if (loaded < 0) {
            const int err = loaded == SI_FILE ? errno : 0;
            return err ? Error::fromErrno(ErrorKind::WriteSettings,
                                          QStringLiteral("Cannot read settings file"), path, err)
                       : settingsError("Cannot read settings file", path,
                                       QStringLiteral("not a settings file"));
        }
    }
    if (ini.SetValue(section.toUtf8().constData(), key.toUtf8().constData(),
                     value.toUtf8().constData()) < 0)
        return settingsError("Cannot store settings in", path, QStringLiteral("out of memory"));

    std::string text;
    if (ini.Save(text) < 0)
        return settingsError("Cannot store settings in", path, QStringLiteral("out of memory"));
    QSaveFile file(path);
    // A writable config.ini in a folder the user may not write (beside an installed program)
    // cannot be replaced through a temporary file; writing it in place is the only way.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size())
        || !file.commit())
        return settingsError("Cannot write settings file", path, file.errorString());
    return {};
}

Status RemoveIniValue(const QString &section, const QString &key, const QString &path)
{
    const QByteArray nativePath = fs::encodePath(path);
    struct stat st;
    if (::stat(nativePath.constData(), &st) != 0 || !(st.st_mode & S_IWUSR))
        return {};
    CSimpleIniA ini;
    configure(ini);
    if (ini.LoadFile(nativePath.constData()) < 0)
        return {};
    if (!ini.Delete(section.toUtf8().constData(), key.toUtf8().constData()))
        return {};
    std::string text;
    if (ini.Save(text) < 0)
        return settingsError("Cannot store settings in", path, QStringLiteral("out of memory"));
    QSaveFile file(path);
    // A writable config.ini in a folder the user may not write (beside an installed program)
    // cannot be replaced through a temporary file; writing it in place is the only way.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size())
        || !file.commit())
        return settingsError("Cannot write settings file", path, file.errorString());
    return {};
}

} // namespace yf
