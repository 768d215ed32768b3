#include "settings/ini_file.h"

#include "settings/ini_text.h"
#include "settings/settings_file.h"
#include "settings/settings_target.h"

#include <algorithm>

namespace yf {

using settings_target::settingsError;

Result<QString> readSetting(const QString &section, const QString &key, const QString &path)
{
    const Result<QByteArray> text = readSettingsFile(path);
    if (!text.ok())
        return text.error();
    return ini::value(text.value(), section, key).value_or(QString());
}

Status changeSettings(const QList<SettingChange> &changes, const QString &path,
                      const std::function<void()> &beforeReplace)
{
    for (const SettingChange &change : changes) {
        if (change.value && !ini::isStorableValue(*change.value))
            return settingsError("Cannot store this value in the settings file", path,
                                 QStringLiteral("it holds a line break or a NUL character"));
    }
    const bool storesAValue =
        std::any_of(changes.begin(), changes.end(), [](const SettingChange &change) { return change.value.has_value(); });
    return editSettingsFile(path, storesAValue, [&](QByteArrayView text) -> Result<std::optional<QByteArray>> {
        QByteArray edited = text.toByteArray();
        // What a person wrote: the text without the lines that are being changed.
        QByteArray theirs = edited;
        for (const SettingChange &change : changes) {
            if (std::optional<QByteArray> without = ini::withoutKey(theirs, change.section, change.key))
                theirs = std::move(*without);
            if (change.value)
                edited = ini::withValue(edited, change.section, change.key, *change.value);
            else if (std::optional<QByteArray> without = ini::withoutKey(edited, change.section, change.key))
                edited = std::move(*without);
        }
        if (edited == text)
            return std::optional<QByteArray>();
        if (theirs.size() > kLargestUserText)
            return settingsError("Cannot write settings file", path, QStringLiteral("too large for a settings file"));
        if (edited.size() > kLargestUserText + kRoomForOwnLines)
            return settingsError("Cannot write settings file", path,
                                 QStringLiteral("the values are too long for a settings file"));
        return std::optional<QByteArray>(std::move(edited));
    }, beforeReplace);
}

Status writeSetting(const QString &section, const QString &key, const QString &value, const QString &path)
{
    return changeSettings({SettingChange{section, key, value}}, path);
}

Status removeSetting(const QString &section, const QString &key, const QString &path)
{
    return changeSettings({SettingChange{section, key, std::nullopt}}, path);
}

} // namespace yf
