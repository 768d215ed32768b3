// The command line's options, and the run they ask for with the stored settings.
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
    std::optional<bool> tags;         // --tags or --no-tags; neither leaves the stored choice
    bool quiet = false;
    double settleSeconds = 5;
    double fullEveryMinutes = 60;     // with --watch: a full run at least this often; 0 never
    QString helpText;                 // filled for Mode::Help
};

// Reads the arguments (the program name first). A mistake is an Error of kind BadInput
// whose operation is the sentence to show.
[[nodiscard]] Result<Options> parseOptions(const QStringList &arguments);

// A run as the command line starts it: the request, and where and how it is remembered.
struct CommandLineRun {
    RunRequest request;
    QString settingsPath;    // where the directories and the base URL are remembered
    QString defaultBaseUrl;  // the base URL a window started now would show when none is stored
};

// What a window started now would run with, overridden by the options: the stored input
// and output directories, base URL and tags switch, else the default base URL from
// `networkAddress`. Tags already read are kept in the user's cache folder (see tagCacheFilePath).
// Relative paths are taken from the current directory. A missing directory or a base URL
// the run would refuse is an Error of kind BadInput. Needing the default base URL on a
// machine with no address but the loopback is an Error of kind NoAddress: links to
// 127.0.0.1 would play nowhere but on this machine.
[[nodiscard]] Result<CommandLineRun> resolveRun(const Options &options, const QString &settingsPath,
                                                const std::optional<QString> &networkAddress);

// The file a run keeps the tags it has read in: "tags.sqlite" in the user's cache folder for
// the program (normally ~/.cache/yarrowfeed). Needs the application's name set.
QString tagCacheFilePath();

// The one line --version prints.
QString versionText();

} // namespace yf::cli
