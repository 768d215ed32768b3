// The tags case: Generate runs that read tags against the same runs without, on real media files.
#include "tags_case.h"

#include "core_run.h"
#include "measure.h"
#include "media_tree.h"

#include <taglib/fileref.h>
#include <taglib/tag.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <vector>

namespace bench {

namespace {

// What one side of the comparison leaves for the runs over the unchanged library.
struct Side {
    const char *label;
    bool tags;
    std::vector<double> firstWall, unchangedWall;
    std::string lastFeeds, lastCache;
    long long feedBytes = 0;
};

// TagLib alone, as a run with tags asks it: every MP3 below `library` opened through a
// FileRef (its type found from the content, audio properties in average mode) and its
// fields and length read, one file after another on this thread. Wall seconds, best of 3.
double bareTagLibSeconds(const std::string &library, long &files)
{
    std::vector<std::string> paths;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(library)) {
        if (entry.is_regular_file() && entry.path().extension() == ".mp3")
            paths.push_back(entry.path().string());
    }
    files = static_cast<long>(paths.size());
    double best = 0;
    for (int round = 0; round < 3; ++round) {
        unsigned long seen = 0;
        const double start = wallSeconds();
        for (const std::string &path : paths) {
            const TagLib::FileRef file(path.c_str(), true, TagLib::AudioProperties::Average);
            if (const TagLib::Tag *tag = file.tag())
                seen += tag->title().size() + tag->artist().size() + tag->album().size() + tag->comment().size()
                      + tag->track();
            if (const TagLib::AudioProperties *properties = file.audioProperties())
                seen += static_cast<unsigned long>(properties->lengthInMilliseconds());
        }
        const double took = wallSeconds() - start;
        best = round == 0 ? took : std::min(best, took);
        if (seen == 0)
            std::printf("  (TagLib found no tags)\n");
    }
    return best;
}

} // namespace

bool runTagsCase(const std::string &work, const std::string &library, const TagsCaseOptions &options,
                 std::string &error)
{
    MediaTreeFacts tree;
    const double buildStart = wallSeconds();
    if (!buildMediaTree(library, options.folders, options.filesPerFolder, tree, error))
        return false;
    settle(work, {});
    std::printf("tags case: %ld folders (the input folder included), %ld tagged MP3 files of %lld bytes, "
                "built in %.1f s\n",
                tree.folders, tree.files, tree.bytes, wallSeconds() - buildStart);
    std::printf("disk: %s (%s); machine: %s\n", work.c_str(), fileSystemType(work).c_str(),
                machineDescription().c_str());

    const long expectedFeeds = tree.folders - 1;
    std::string lastOutput;
    // One run of `side`; `unchanged` runs into its latest output with its latest cache.
    const auto measure = [&](Side &side, bool unchanged, long round) -> bool {
        if (!unchanged) {
            side.lastFeeds = work + "/feeds-" + (side.tags ? "tags-" : "plain-") + std::to_string(round);
            side.lastCache = side.tags ? work + "/tags-" + std::to_string(round) + ".sqlite" : std::string();
            if (::mkdir(side.lastFeeds.c_str(), 0755) != 0) {
                error = "Cannot create " + side.lastFeeds + ": " + std::strerror(errno);
                return false;
            }
        }
        settle(work, unchanged ? std::string() : lastOutput);
        lastOutput = side.lastFeeds;
        yf::RunRequest request = runRequest(library, side.lastFeeds, options.helpers);
        request.readTags = side.tags;
        request.tagCacheFile = QString::fromStdString(side.lastCache);
        RunResult r;
        const double t0 = wallSeconds();
        if (!measureRun(request, QString::fromStdString(work + "/config.ini"), r, error))
            return false;
        (unchanged ? side.unchangedWall : side.firstWall).push_back(wallSeconds() - t0);

        long files = 0;
        long long bytes = 0;
        if (!outputFacts(side.lastFeeds, files, bytes) || r.feeds != expectedFeeds || files != expectedFeeds
            || (unchanged && bytes != side.feedBytes)) {
            error = std::string(side.label) + ": expected " + std::to_string(expectedFeeds) + " feeds, the run reported "
                  + std::to_string(r.feeds) + " and left " + std::to_string(files);
            return false;
        }
        side.feedBytes = bytes;
        // A first run with tags opens every media file; an unchanged one none.
        const long opened = static_cast<long>(r.tagFiles.filesRead);
        const long cached = static_cast<long>(r.tagFiles.fromCache);
        const long wantOpened = side.tags && !unchanged ? tree.files : 0;
        const long wantCached = side.tags && unchanged ? tree.files : 0;
        if (opened != wantOpened || cached != wantCached) {
            error = std::string(side.label) + (unchanged ? " (unchanged)" : "") + ": opened "
                  + std::to_string(opened) + " media files and took " + std::to_string(cached)
                  + " from the cache, not " + std::to_string(wantOpened) + " and " + std::to_string(wantCached);
            return false;
        }
        std::printf("  %s%-13s %.4f s (scan %.4f s, feeds %.4f s; media files opened %ld, from the cache %ld)\n",
                    unchanged ? "unchanged " : "", side.label, (unchanged ? side.unchangedWall : side.firstWall).back(),
                    r.scanSeconds, r.feedSeconds, opened, cached);
        return true;
    };

    Side plain{"without tags", false, {}, {}, {}, {}};
    Side tagged{"with tags", true, {}, {}, {}, {}};
    for (bool unchanged : {false, true}) {
        std::printf("\n%s\n", unchanged ? "unchanged library, into the latest output folders"
                                        : "first runs, each into a new output folder");
        for (long round = 1; round <= options.rounds; ++round) {
            std::printf("round %ld\n", round);
            // The order flips every round so neither side always runs on a just-warmed cache.
            Side &one = round % 2 == 1 ? tagged : plain;
            Side &other = round % 2 == 1 ? plain : tagged;
            if (!measure(one, unchanged, round) || !measure(other, unchanged, round))
                return false;
        }
    }

    std::printf("\n%ld feeds; %ld rounds\n", expectedFeeds, options.rounds);
    for (const Side *side : {&tagged, &plain})
        std::printf("%-13s first run median %.4f s (min %.4f), unchanged run median %.4f s (min %.4f)\n",
                    side->label, median(side->firstWall), minimum(side->firstWall), median(side->unchangedWall),
                    minimum(side->unchangedWall));
    std::printf("first run with tags/without: median %.2f (target at most 3)\n",
                median(tagged.firstWall) / median(plain.firstWall));
    std::printf("unchanged run with tags/without: median %.2f (target at most 1.1)\n",
                median(tagged.unchangedWall) / median(plain.unchangedWall));

    // TagLib's own share: what reading every file costs it alone, on one thread.
    long files = 0;
    const double bare = bareTagLibSeconds(library, files);
    std::printf("TagLib alone over the %ld files, one thread: %.3f s, %.2f times the first run without tags\n",
                files, bare, bare / median(plain.firstWall));
    return true;
}

} // namespace bench
