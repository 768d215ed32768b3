#include "settings/stored_run.h"

#include "settings/ini_file.h"

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
    for (auto [key, value] : {std::pair{&kInputDir, &stored.inputDir}, std::pair{&kOutputDir, &stored.outputDir},
                              std::pair{&kBaseUrl, &stored.baseUrl}}) {
        Result<QString> read = readSetting(kSection, *key, settingsPath);
        if (read.ok()) {
            *value = std::move(read).value();
        } else if (problem && !*problem) {
            *problem = read.error();
        }
    }
    Result<QString> tags = readSetting(kOptionsSection, kTags, settingsPath);
    stored.tags = tags.ok() && tags.value() == QLatin1String("1");
    return stored;
}

Status storeRun(const QString &settingsPath, const StoredRun &run, const QString &defaultUrl)
{
    if (Status stored = writeSetting(kSection, kInputDir, run.inputDir, settingsPath); !stored.ok())
        return stored;
    if (Status stored = writeSetting(kSection, kOutputDir, run.outputDir, settingsPath); !stored.ok())
        return stored;
    if (Status stored = run.baseUrl == defaultUrl ? removeSetting(kSection, kBaseUrl, settingsPath)
                                                  : writeSetting(kSection, kBaseUrl, run.baseUrl, settingsPath);
        !stored.ok())
        return stored;
    return run.tags ? writeSetting(kOptionsSection, kTags, QStringLiteral("1"), settingsPath)
                    : removeSetting(kOptionsSection, kTags, settingsPath);
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
