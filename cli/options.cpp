#include "cli/options.h"

#include "feed/base_url.h"
#include "settings/stored_run.h"

#include <QCommandLineParser>
#include <QDir>
#include <QStandardPaths>

namespace yf::cli {

namespace {

// Absolute, without "." or ".." parts and without a trailing "/" (except "/" itself): the
// form a directory picker reports, so the stored settings look as a window run stores them.
QString absoluteDir(const QString &path) { return QDir::cleanPath(QDir::current().absoluteFilePath(path)); }

} // namespace

QString tagCacheFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/tags.sqlite");
}

QString versionText()
{
    return QStringLiteral("Yarrowfeed %1.%2.%3")
        .arg(YARROWFEED_VERSION_MAJOR)
        .arg(YARROWFEED_VERSION_MINOR)
        .arg(YARROWFEED_VERSION_PATCH);
}

Result<Options> parseOptions(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Writes one RSS feed per folder below the input directory. Without options the window\n"
                       "opens; run with the options below, the program makes the feeds without it."));
    const QCommandLineOption generate(QStringLiteral("generate"), QStringLiteral("Run Generate once and exit."));
    const QCommandLineOption watch(QStringLiteral("watch"),
                                   QStringLiteral("Run once, then again whenever the input tree changes."));
    const QCommandLineOption input(QStringLiteral("input"), QStringLiteral("Input directory (default: the stored one)."),
                                   QStringLiteral("DIR"));
    const QCommandLineOption output(QStringLiteral("output"),
                                    QStringLiteral("Output directory for the feeds (default: the stored one)."),
                                    QStringLiteral("DIR"));
    const QCommandLineOption baseUrl(QStringLiteral("base-url"),
                                     QStringLiteral("URL the input directory's parent is served under."),
                                     QStringLiteral("URL"));
    const QCommandLineOption settings(QStringLiteral("settings"),
                                      QStringLiteral("Settings file (default: the one the window uses)."),
                                      QStringLiteral("FILE"));
    const QCommandLineOption settle(QStringLiteral("settle"),
                                    QStringLiteral("With --watch: quiet seconds before a run (default 5)."),
                                    QStringLiteral("SECONDS"), QStringLiteral("5"));
    const QCommandLineOption fullEvery(
        QStringLiteral("full-every"),
        QStringLiteral("With --watch: a full run every MIN minutes (default 60)."),
        QStringLiteral("MIN"), QStringLiteral("60"));
    const QCommandLineOption tags(QStringLiteral("tags"),
                                  QStringLiteral("Episode titles, durations, order and cover art from tags."));
    const QCommandLineOption noTags(QStringLiteral("no-tags"),
                                    QStringLiteral("Episodes named after their files (default: as stored)."));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("Print nothing on success."));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show these options and exit."));
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    parser.addOptions({generate, watch, input, output, baseUrl, settings, tags, noTags, settle, fullEvery, quiet, help,
                       version});

    if (!parser.parse(arguments))
        return Error::usage(parser.errorText());
    Options options;
    if (parser.isSet(help)) {
        options.mode = Mode::Help;
        options.helpText = parser.helpText();
        return options;
    }
    if (parser.isSet(version)) {
        options.mode = Mode::Version;
        return options;
    }
    if (!parser.positionalArguments().isEmpty())
        return Error::usage(QStringLiteral("Unexpected argument: %1").arg(parser.positionalArguments().first()));
    if (!parser.isSet(generate) && !parser.isSet(watch))
        return Error::usage(QStringLiteral("Nothing to do: give --generate or --watch."));
    options.mode = parser.isSet(watch) ? Mode::Watch : Mode::Generate;

    const auto valueOf = [&parser](const QCommandLineOption &option) -> std::optional<QString> {
        if (!parser.isSet(option))
            return std::nullopt;
        return parser.value(option);
    };
    options.input = valueOf(input);
    options.output = valueOf(output);
    options.baseUrl = valueOf(baseUrl);
    options.settings = valueOf(settings);
    options.quiet = parser.isSet(quiet);
    if (parser.isSet(tags) && parser.isSet(noTags))
        return Error::usage(QStringLiteral("--tags and --no-tags exclude each other: give one."));
    if (parser.isSet(tags) || parser.isSet(noTags))
        options.tags = parser.isSet(tags);

    // A watch option's number from 0 to `most` (beyond that a typo is likelier than a wish),
    // given only with --watch.
    const auto watchNumber = [&](const QCommandLineOption &option, double most, const char *unit,
                                 double &into) -> Status {
        const QString name = QStringLiteral("--") + option.names().constFirst();
        bool number = false;
        into = parser.value(option).toDouble(&number);
        if (!number || !(into >= 0 && into <= most))
            return Error::usage(QStringLiteral("%1 takes a number of %2 from 0 to %3, not \"%4\".")
                                    .arg(name, QLatin1String(unit), QString::number(most), parser.value(option)));
        if (parser.isSet(option) && options.mode != Mode::Watch)
            return Error::usage(QStringLiteral("%1 only makes sense with --watch.").arg(name));
        return {};
    };
    if (Status checked = watchNumber(settle, 86400, "seconds", options.settleSeconds); !checked.ok())
        return checked.error();
    if (Status checked = watchNumber(fullEvery, 525600, "minutes", options.fullEveryMinutes); !checked.ok())
        return checked.error();
    for (const auto *given : {&options.input, &options.output, &options.settings}) {
        if (*given && (*given)->isEmpty())
            return Error::usage(QStringLiteral("An empty path was given."));
    }
    return options;
}

Result<CommandLineRun> resolveRun(const Options &options, const QString &settingsPath,
                                  const std::optional<QString> &networkAddress)
{
    CommandLineRun run;
    run.settingsPath = settingsPath;
    run.defaultBaseUrl = defaultBaseUrl(networkAddress.value_or(QStringLiteral("127.0.0.1")));
    std::optional<Error> unreadable;
    const StoredRun stored = loadStoredRun(settingsPath, &unreadable);

    const auto directory = [&](const std::optional<QString> &given, const QString &storedValue,
                               const char *option) -> Result<QString> {
        const QString value = given ? *given : storedValue;
        if (value.isEmpty()) {
            // A file that could not be read may well hold one: say why it was not used.
            const QString why = unreadable ? QStringLiteral(" (%1)").arg(unreadable->message()) : QString();
            return Error::usage(QStringLiteral("No %1 directory stored in \"%2\"%3: give --%1 DIR.")
                             .arg(QLatin1String(option), settingsPath, why));
        }
        return absoluteDir(value);
    };
    const Result<QString> input = directory(options.input, stored.inputDir, "input");
    if (!input.ok())
        return input.error();
    const Result<QString> output = directory(options.output, stored.outputDir, "output");
    if (!output.ok())
        return output.error();
    RunRequest &request = run.request;
    request.inputDir = input.value();
    request.linkEntry = request.inputDir;
    request.outputDir = output.value();
    request.readTags = options.tags.value_or(stored.tags);
    request.tagCacheFile = tagCacheFilePath();
    if (options.baseUrl) {
        request.baseUrl = *options.baseUrl;
    } else if (!stored.baseUrl.isEmpty()) {
        request.baseUrl = stored.baseUrl;
    } else if (!networkAddress) {
        return Error::failure(ErrorKind::NoAddress,
                              QStringLiteral("No network address is known for the default base URL; "
                                             "give the address the feeds are served under with --base-url URL."));
    } else {
        request.baseUrl = run.defaultBaseUrl;
    }
    if (const Result<BaseUrl> checked = parseBaseUrl(request.baseUrl); !checked.ok())
        return checked.error();
    return run;
}

} // namespace yf::cli
