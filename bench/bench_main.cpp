// yarrowfeed_bench: times a whole Generate run against the file system's own floor.
#include "core_run.h"
#include "file_system_floor.h"
#include "measure.h"
#include "synthetic_tree.h"
#include "tags_case.h"
#include "watch_case.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Options {
    bench::TreeShape shape;
    long rounds = 5;
    std::string parentDir;
    bool keep = false;
    long helpers = 2;
    bool tagsCase = false;
    bool watchCase = false;
    bool foldersGiven = false;
    bool filesGiven = false;
    double settleSeconds = 1;
    std::string program;
};

// The program the watch case runs: the one built beside the benchmark, when it was.
std::string builtProgram()
{
#ifdef YARROWFEED_PROGRAM_PATH
    return YARROWFEED_PROGRAM_PATH;
#else
    return {};
#endif
}

struct Samples {
    std::vector<double> wall, cpu, first, second;
};

bool parseOptions(const QStringList &arguments, Options &options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Builds a synthetic folder tree, then alternates a full Generate run with the file "
        "system's floor (a breadth-first lstat walk plus writing the same files) and compares them."));
    parser.addHelpOption();
    const QCommandLineOption folders({QStringLiteral("F"), QStringLiteral("folders")},
                                     QStringLiteral("Folders in the tree, the input folder included (default 10000)."),
                                     QStringLiteral("count"), QStringLiteral("10000"));
    const QCommandLineOption files({QStringLiteral("N"), QStringLiteral("files")},
                                   QStringLiteral("Files in every folder (default 20)."),
                                   QStringLiteral("count"), QStringLiteral("20"));
    const QCommandLineOption rounds({QStringLiteral("r"), QStringLiteral("rounds")},
                                    QStringLiteral("Rounds of run and floor (default 5)."),
                                    QStringLiteral("count"), QStringLiteral("5"));
    const QCommandLineOption fanOut(QStringLiteral("fan-out"),
                                    QStringLiteral("Sub-folders per folder (default 6)."),
                                    QStringLiteral("count"), QStringLiteral("6"));
    const QCommandLineOption dir(QStringLiteral("dir"),
                                 QStringLiteral("Where to build the tree (default $TMPDIR or /tmp)."),
                                 QStringLiteral("path"));
    const QCommandLineOption keep(QStringLiteral("keep"), QStringLiteral("Leave the tree and the feeds on disk."));
    const QCommandLineOption helpers(QStringLiteral("helpers"),
                                     QStringLiteral("Helper threads of each run (default 2; 0 runs on one thread)."),
                                     QStringLiteral("count"), QStringLiteral("2"));
    const QCommandLineOption tags(QStringLiteral("tags"),
                                  QStringLiteral("The tags case instead: runs with tags against runs without, over "
                                                 "tagged MP3 files (default 501 folders)."));
    const QCommandLineOption watch(QStringLiteral("watch-case"),
                                   QStringLiteral("The watch case instead: what one change costs the program's "
                                                  "watcher against a full run (default 100000 folders, 10 files)."));
    const QCommandLineOption settle(QStringLiteral("settle"),
                                    QStringLiteral("With --watch-case: the watcher's settle time (default 1)."),
                                    QStringLiteral("seconds"), QStringLiteral("1"));
    const QCommandLineOption program(QStringLiteral("program"),
                                     QStringLiteral("With --watch-case: the yarrowfeed program (default: the one "
                                                    "built beside the benchmark)."),
                                     QStringLiteral("path"));
    parser.addOptions({folders, files, rounds, fanOut, dir, keep, helpers, tags, watch, settle, program});
    parser.process(arguments);

    const auto number = [&](const QCommandLineOption &option, long lowest, long &out) {
        bool ok = false;
        out = parser.value(option).toLong(&ok);
        if (!ok || out < lowest) {
            std::fprintf(stderr, "--%s must be a whole number of at least %ld\n",
                         qPrintable(option.names().constLast()), lowest);
            return false;
        }
        return true;
    };
    if (!number(folders, 1, options.shape.folders) || !number(files, 0, options.shape.filesPerFolder)
        || !number(rounds, 1, options.rounds) || !number(fanOut, 1, options.shape.fanOut)
        || !number(helpers, 0, options.helpers))
        return false;
    const char *tmp = std::getenv("TMPDIR");
    options.parentDir = parser.isSet(dir) ? parser.value(dir).toStdString() : (tmp && *tmp ? tmp : "/tmp");
    options.keep = parser.isSet(keep);
    options.tagsCase = parser.isSet(tags);
    options.watchCase = parser.isSet(watch);
    options.foldersGiven = parser.isSet(folders);
    options.filesGiven = parser.isSet(files);
    if (options.tagsCase && options.watchCase) {
        std::fprintf(stderr, "--tags and --watch-case exclude each other\n");
        return false;
    }
    bool ok = false;
    options.settleSeconds = parser.value(settle).toDouble(&ok);
    if (!ok || !(options.settleSeconds >= 0 && options.settleSeconds <= 3600)) {
        std::fprintf(stderr, "--settle must be a number of seconds from 0 to 3600\n");
        return false;
    }
    options.program = parser.isSet(program) ? parser.value(program).toStdString() : builtProgram();
    if (options.watchCase && options.program.empty()) {
        std::fprintf(stderr, "No yarrowfeed program was built beside the benchmark: give --program PATH\n");
        return false;
    }
    return true;
}

void printSummary(const char *label, const Samples &s, const char *firstName, const char *secondName,
                  long treeFiles)
{
    const double med = bench::median(s.wall);
    std::printf("%-6s wall min %.3f s, median %.3f s | %s %.3f s, %s %.3f s (medians) | "
                "CPU median %.3f s | %.0f files/s, %.2f us per file\n",
                label, bench::minimum(s.wall), med, firstName, bench::median(s.first), secondName,
                bench::median(s.second), bench::median(s.cpu), med > 0 ? treeFiles / med : 0.0,
                treeFiles > 0 ? med * 1e6 / static_cast<double>(treeFiles) : 0.0);
}

int fail(const std::string &message)
{
    std::fprintf(stderr, "yarrowfeed_bench: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Line by line, so a log shows how far a long case has come.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    if (!parseOptions(QCoreApplication::arguments(), options))
        return 2;

    std::string work = options.parentDir + "/yarrowfeed-bench-XXXXXX";
    if (!::mkdtemp(work.data()))
        return fail("Cannot create a folder in " + options.parentDir + ": " + std::strerror(errno));
    const std::string library = work + "/library";
    if (::mkdir(library.c_str(), 0755) != 0)
        return fail("Cannot create " + library + ": " + std::strerror(errno));

    std::string error;
    // The tree goes unless it is to be kept, also after a failure: a million files left in
    // the temporary folder would outlast many runs.
    const auto leave = [&](bool succeeded) {
        if (!succeeded)
            fail(error);
        if (options.keep) {
            std::printf("kept: %s\n", work.c_str());
        } else if (std::string removeError; !bench::removeTree(work, removeError)) {
            return fail(removeError);
        }
        return succeeded ? 0 : 1;
    };
    if (options.tagsCase) {
        bench::TagsCaseOptions tags;
        if (options.foldersGiven)
            tags.folders = options.shape.folders;
        tags.filesPerFolder = options.shape.filesPerFolder;
        tags.rounds = options.rounds;
        tags.helpers = options.helpers;
        return leave(bench::runTagsCase(work, library, tags, error));
    }
    if (options.watchCase) {
        bench::WatchCaseOptions watch;
        if (options.foldersGiven)
            watch.folders = options.shape.folders;
        if (options.filesGiven)
            watch.filesPerFolder = options.shape.filesPerFolder;
        watch.fanOut = options.shape.fanOut;
        watch.settleSeconds = options.settleSeconds;
        watch.program = options.program;
        watch.buildThreads = std::max(1u, std::thread::hardware_concurrency());
        return leave(bench::runWatchCase(work, library, watch, error));
    }
    bench::TreeFacts tree;
    const double buildStart = bench::wallSeconds();
    if (!bench::buildTree(library, options.shape, tree, error, std::max(1u, std::thread::hardware_concurrency())))
        return fail(error);
    bench::settle(work, {});
    std::printf("tree: %ld folders (%ld levels below the input, fan-out %ld), %ld files of %lld bytes, "
                "built in %.1f s\n",
                tree.folders, tree.depth, options.shape.fanOut, tree.files, tree.fileBytes,
                bench::wallSeconds() - buildStart);
    std::printf("disk: %s (%s); machine: %s\n", work.c_str(), bench::fileSystemType(work).c_str(),
                bench::machineDescription().c_str());
    std::printf("peak RSS before the first run: %.1f MiB\n", bench::peakRssKiB() / 1024.0);

    // Every measurement writes into a folder of its own, and nothing is deleted before the end:
    // ext4 without a journal skips inodes freed in the last minutes when it creates a file, so
    // deleting between rounds would bill each round for the previous one's clean-up.
    const auto freshFolder = [&](const char *kind, long round, std::string &dir) {
        dir = work + "/" + kind + "-" + std::to_string(round);
        if (::mkdir(dir.c_str(), 0755) == 0)
            return true;
        error = "Cannot create " + dir + ": " + std::strerror(errno);
        return false;
    };
    Samples run, floor;
    long long feedBytes = 0;
    long peakAfterFirstRun = 0;
    std::string lastOutput;
    std::string lastFeeds;  // the output of the latest run, for the runs over an unchanged tree
    const long expectedFeeds = tree.folders - 1;

    const auto doRun = [&](long round) -> bool {
        std::string feeds;
        if (!freshFolder("feeds", round, feeds))
            return false;
        bench::settle(work, lastOutput);
        lastOutput = feeds;
        lastFeeds = feeds;
        const yf::RunRequest request = bench::runRequest(library, feeds, options.helpers);
        bench::RunResult r;
        const double cpu0 = bench::cpuSeconds(), sys0 = bench::systemSeconds();
        const double t0 = bench::wallSeconds();
        if (!bench::measureRun(request, QString::fromStdString(work + "/config.ini"), r, error))
            return false;
        run.wall.push_back(bench::wallSeconds() - t0);
        run.cpu.push_back(bench::cpuSeconds() - cpu0);
        run.first.push_back(r.scanSeconds);
        run.second.push_back(r.feedSeconds);
        if (peakAfterFirstRun == 0)
            peakAfterFirstRun = bench::peakRssKiB();
        long files = 0;
        if (!bench::outputFacts(feeds, files, feedBytes) || r.feeds != expectedFeeds || files != expectedFeeds) {
            error = "expected " + std::to_string(expectedFeeds) + " feeds, the run reported "
                  + std::to_string(r.feeds) + " and wrote " + std::to_string(files);
            return false;
        }
        std::printf("  run   %.3f s (scan %.3f, feeds %.3f, CPU %.3f of which system %.3f; peak so far %.1f MiB)\n",
                    run.wall.back(), r.scanSeconds, r.feedSeconds, run.cpu.back(),
                    bench::systemSeconds() - sys0, bench::peakRssKiB() / 1024.0);
        return true;
    };
    const auto doFloor = [&](long round) -> bool {
        std::string floorOut;
        if (!freshFolder("floor", round, floorOut))
            return false;
        bench::settle(work, lastOutput);
        lastOutput = floorOut;
        bench::FloorResult f;
        const double cpu0 = bench::cpuSeconds(), sys0 = bench::systemSeconds();
        if (!bench::measureFloor(library, floorOut, feedBytes, f, error))
            return false;
        floor.wall.push_back(f.walkSeconds + f.writeSeconds);
        floor.cpu.push_back(bench::cpuSeconds() - cpu0);
        floor.first.push_back(f.walkSeconds);
        floor.second.push_back(f.writeSeconds);
        std::printf("  floor %.3f s (walk %.3f, write %.3f, CPU %.3f of which system %.3f; peak so far %.1f MiB)\n",
                    floor.wall.back(), f.walkSeconds, f.writeSeconds, floor.cpu.back(),
                    bench::systemSeconds() - sys0, bench::peakRssKiB() / 1024.0);
        return true;
    };

    for (long round = 1; round <= options.rounds; ++round) {
        std::printf("round %ld\n", round);
        // The order flips every round so neither side always runs on a just-warmed cache.
        const bool runFirst = round % 2 == 1;
        if (!(runFirst ? doRun(round) && doFloor(round) : doFloor(round) && doRun(round)))
            return fail(error);
    }

    std::printf("\n%ld feeds, %lld bytes per run; %ld rounds\n", expectedFeeds, feedBytes, options.rounds);
    printSummary("run", run, "scan", "feeds", tree.files);
    printSummary("floor", floor, "walk", "write", tree.files);
    const double ratio = bench::median(run.wall) / bench::median(floor.wall);
    std::printf("first run/floor: median %.2f, min %.2f (scan/walk %.2f, feeds/write %.2f, medians)\n",
                ratio, bench::minimum(run.wall) / bench::minimum(floor.wall),
                bench::median(run.first) / bench::median(floor.first),
                bench::median(run.second) / bench::median(floor.second));

    // The same tree again into the latest run's output: every feed is there already and equal,
    // so a run reads and compares instead of writing. Its floor reads every feed file whole.
    Samples again, readFloor;
    const auto doAgain = [&]() -> bool {
        bench::settle(work, {});
        const yf::RunRequest request = bench::runRequest(library, lastFeeds, options.helpers);
        bench::RunResult r;
        const double cpu0 = bench::cpuSeconds();
        const double t0 = bench::wallSeconds();
        if (!bench::measureRun(request, QString::fromStdString(work + "/config.ini"), r, error))
            return false;
        again.wall.push_back(bench::wallSeconds() - t0);
        again.cpu.push_back(bench::cpuSeconds() - cpu0);
        again.first.push_back(r.scanSeconds);
        again.second.push_back(r.feedSeconds);
        long files = 0;
        long long bytes = 0;
        if (!bench::outputFacts(lastFeeds, files, bytes) || r.feeds != expectedFeeds || files != expectedFeeds
            || bytes != feedBytes) {
            error = "the run over the unchanged tree reported " + std::to_string(r.feeds) + " feeds and left "
                  + std::to_string(files) + " files of " + std::to_string(bytes) + " bytes";
            return false;
        }
        std::printf("  unchanged run   %.3f s (scan %.3f, feeds %.3f; peak so far %.1f MiB)\n", again.wall.back(),
                    r.scanSeconds, r.feedSeconds, bench::peakRssKiB() / 1024.0);
        return true;
    };
    const auto doReadFloor = [&]() -> bool {
        bench::settle(work, {});
        bench::FloorResult f;
        const double cpu0 = bench::cpuSeconds();
        if (!bench::measureReadFloor(library, lastFeeds, f, error))
            return false;
        readFloor.wall.push_back(f.walkSeconds + f.writeSeconds);
        readFloor.cpu.push_back(bench::cpuSeconds() - cpu0);
        readFloor.first.push_back(f.walkSeconds);
        readFloor.second.push_back(f.writeSeconds);
        std::printf("  unchanged floor %.3f s (walk %.3f, read %.3f; peak so far %.1f MiB)\n", readFloor.wall.back(),
                    f.walkSeconds, f.writeSeconds, bench::peakRssKiB() / 1024.0);
        return true;
    };
    std::printf("\nunchanged tree, into %s\n", lastFeeds.c_str());
    for (long round = 1; round <= options.rounds; ++round) {
        std::printf("round %ld\n", round);
        const bool runFirst = round % 2 == 1;
        if (!(runFirst ? doAgain() && doReadFloor() : doReadFloor() && doAgain()))
            return fail(error);
    }
    printSummary("unchanged run", again, "scan", "feeds", tree.files);
    printSummary("unchanged floor", readFloor, "walk", "read", tree.files);
    std::printf("unchanged run/floor: median %.2f, min %.2f (scan/walk %.2f, feeds/read %.2f, medians)\n",
                bench::median(again.wall) / bench::median(readFloor.wall),
                bench::minimum(again.wall) / bench::minimum(readFloor.wall),
                bench::median(again.first) / bench::median(readFloor.first),
                bench::median(again.second) / bench::median(readFloor.second));

    std::printf("\npeak RSS: %.1f MiB after the first run, %.1f MiB for the whole benchmark\n",
                peakAfterFirstRun / 1024.0, bench::peakRssKiB() / 1024.0);

    return leave(true);
}
