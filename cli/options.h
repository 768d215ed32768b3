// The command line's options, and the run inputs they make with the stored settings.
#pragma once

#include "generate/generate.h"
#include "runtime/error.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace yf::cli {

enum class Mode { Generate, Watch, Help, Version };

struct Options {
    Mode mode = Mode::Generate;
    std::optional<QString> input;     // each set only when given
    std::optional<QString> output;
    std::optional<QString> baseUrl;
    std::optional<QString> settings;
    bool quiet = false;
    double settleSeconds = 5;
    QString helpText;                 // filled for Mode::Help
};

// Reads the arguments (the program name first). A mistake is an Error of kind BadInput
// whose operation is the sentence to show.
[[nodiscard]] Result<Options> parseOptions(const QStringList &arguments);

// What a window started now would run with, overridden by the options: the stored input
// and output directories and base URL, else the default base URL "http://" + the local
// address + "/". Relative paths are taken from the current directory. A missing
// directory or a base URL the run would refuse is an Error of kind BadInput.
[[nodiscard]] Result<RunInputs> resolveRunInputs(const Options &options, const QString &settingsPath,
                                                 const QString &localAddress);

// The one line --version prints.
QString versionText();

} // namespace yf::cli
