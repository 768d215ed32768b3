// The Generate run: scan the input tree, then write one feed per folder below it.
#pragma once

#include "runtime/clock.h"
#include "runtime/error.h"
#include "runtime/run_observer.h"
#include "tags/tag_source.h"

#include <QString>

#include <optional>
#include <vector>

namespace yf {

// Everything a run needs, built once by whoever starts it.
struct RunRequest {
    QString inputDir;   // absolute, no trailing "/" except for "/" itself
    QString outputDir;
    QString baseUrl;    // as typed; refused before anything is done when it is no full address
    // Links start at this entry's parent: normally the input directory itself, so that the
    // base URL stands for the folder the input directory lies in.
    QString linkEntry;
    // Threads that list folders and make feeds beside the calling thread; 0 does all on the
    // calling thread. The feeds, names, count and outcome are the same either way.
    int helperThreads = 2;
    // Whether episodes and channels take their details from the media files' tags; off, every
    // feed is exactly what it is without tags.
    bool readTags = false;
    // The cache of tags already read (a file in the user's cache folder); empty for none, so
    // every media file is read each run.
    QString tagCacheFile;
};

struct RunOutcome {
    qsizetype feedsWritten = 0;  // distinct feed files this run produced in full (or found unchanged)
    std::optional<Error> error;  // why the run stopped early; empty when it finished
    // Folders left out because they could not be read or are write-protected, or because their
    // feed's name is held by a folder, pipe or socket in the output directory, with why.
    std::vector<Error> skipped;
    // Feed files of an earlier run that this one did not write (their folders went or got
    // no feed), removed from the output directory, as paths for a person. Only a finished run
    // removes any.
    std::vector<QString> removedFeeds;
    // Why old feeds may have stayed (see updatePublishedFeeds); the feeds written are right.
    std::vector<Error> cleanupProblems;
    // The index page a finished run left beside the feeds, as a path for a person, and where a
    // web server shows it; each empty when not known. Neither it nor the OPML file is a feed.
    QString indexPage;
    QString indexAddress;
    // Why the index page or OPML file was not written: someone else's file, or a failed write.
    std::vector<Error> indexProblems;
    // When the run's last feed was done, by the run's clock. The clock is read after every
    // feed (the feeds' dates are the files' own), which also lets a test clock pace a run.
    qint64 lastFeedAtSecs = 0;
    // With tags read: how many media files were opened, and how many came from the cache.
    TagCounts tagFiles;
    // Why the cache of tags could not be read or stored; it costs the next run time, no feed.
    std::optional<Error> tagCacheProblem;

    bool finished() const { return !error.has_value(); }
    bool cancelled() const { return error && error->kind == ErrorKind::Cancelled; }
};

// Checks the base URL, scans the input directory, tells the observer the scan succeeded
// (where the caller stores what it ran with: after the scan, before the first feed), then
// writes one feed per folder below the input directory. A folder below the input directory
// that cannot be read, when the scan meets it or when its feed is due, gets no feed and goes
// into `skipped`; the run goes on. Every folder's feed name is settled before the first feed,
// so that no two folders share a feed file; an output directory inside the input tree is not
// scanned. No date of a feed comes from the clock: each is a file's or a folder's own.
// A run that finishes then removes the feeds the output directory's list names and this run
// did not write, and lists the ones it wrote (see updatePublishedFeeds); a run that fails or
// is cancelled leaves the list and every earlier feed as they were.
[[nodiscard]] RunOutcome generateFeeds(const RunRequest &request, const Clock &clock,
                                       RunObserver *observer = nullptr);

} // namespace yf
