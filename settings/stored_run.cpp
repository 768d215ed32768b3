#include "settings/stored_run.h"

#include "settings/ini_file.h"
#include "settings/ini_text.h"
#include "settings/settings_file.h"

namespace yf {

namespace {

const QString kSection = QStringLiteral("RESTORE");
const QString kInputDir = QStringLiteral("InputDir");
const QString kOutputDir = QStringLiteral("OutputDir");
const QString kBaseUrl = QStringLiteral("BaseUrl");
const QString kOptionsSection = QStringLiteral("OPTIONS");
const QString kTags = QStringLiteral("Tags");

} // namespace

QString defaultBaseUrl(const QString &localAddress)
{
    return QStringLiteral("http://") + localAddress + QLatin1Char('/');
}

StoredRun loadStoredRun(const QString &settingsPath, std::optional<Error> *problem)
{
    StoredRun stored;
    const Result<QByteArray> text = readSettingsFile(settingsPath);
    if (!text.ok()) {
        if (problem && !*problem)
            *problem = text.error();
        return stored;
    }
    const auto read = [&](const QString &section, const QString &key) {
        return ini::value(text.value(), section, key).value_or(QString());
    };
    stored.inputDir = read(kSection, kInputDir);
    stored.outputDir = read(kSection, kOutputDir);
    stored.baseUrl = read(kSection, kBaseUrl);
    stored.tags = read(kOptionsSection, kTags) == QLatin1String("1");
    return stored;
}

Status storeRun(const QString &settingsPath, const StoredRun &run, const QString &defaultUrl,
                const std::function<void()> &beforeReplace)
{
    const auto keep = [](const QString &value) { return std::optional<QString>(value); };
    return changeSettings({SettingChange{kSection, kInputDir, keep(run.inputDir)},
                           SettingChange{kSection, kOutputDir, keep(run.outputDir)},
                           SettingChange{kSection, kBaseUrl, run.baseUrl == defaultUrl ? std::nullopt : keep(run.baseUrl)},
                           SettingChange{kOptionsSection, kTags, run.tags ? keep(QStringLiteral("1")) : std::nullopt}},
                          settingsPath, beforeReplace);
}

StoreWhenScanned::StoreWhenScanned(RunObserver &inner, QString settingsPath, StoredRun run, QString defaultUrl)
    : m_inner(inner)
    , m_settingsPath(std::move(settingsPath))
    , m_run(std::move(run))
    , m_defaultUrl(std::move(defaultUrl))
{
}

void StoreWhenScanned::scanned()
{
    if (Status stored = storeRun(m_settingsPath, m_run, m_defaultUrl); !stored.ok())
        m_error = stored.error();
    m_inner.scanned();
}

} // namespace yf
