// The Generate command over plain run inputs: scan, remember the directories, write every feed.
#pragma once

#include "feed/file_lister.h"
#include "runtime/clock.h"
#include "runtime/error.h"
#include "runtime/run_observer.h"
#include "scan/folder_scan.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace yf {

// What a run reads from the window.
struct RunInputs {
    QString inputDir;          // absolute, no trailing "/" except for "/" itself
    QString highlightedEntry;  // the entry highlighted in the input picker
    QString outputDir;
    QString baseUrl;
    QString defaultBaseUrl;    // the base URL the program starts with when none is stored
    QString settingsPath;      // where the directories and the base URL are remembered
    // Threads that list folders and make feeds ahead of the one putting them in place; 0 does
    // all on the calling thread. The feeds, names, count and outcome are the same either way.
    int helperThreads = 2;
};

// `List1`: the run's working folder list, in the order of appending. Entry 0 is the input
// directory itself. It keeps its entries after a run, until the next run clears it.
class FolderList {
public:
    void clear() { m_entries.clear(); }
    void addItem(const QByteArray &folder) { m_entries.push_back(folder); }
    qsizetype listCount() const { return static_cast<qsizetype>(m_entries.size()); }
    const QByteArray &list(qsizetype index) const { return m_entries[static_cast<std::size_t>(index)]; }

private:
    std::vector<QByteArray> m_entries;
};

struct RunOutcome {
    qsizetype feedsWritten = 0;         // distinct feed files this run produced in full (or found unchanged)
    std::optional<Error> error;         // why the run stopped early; empty when it finished
    std::optional<Error> settingsError; // the directories could not be remembered (the run goes on)
    std::vector<Error> skipped;         // folders left out because they could not be read, with why
    // When the run's last feed was done, by the run's clock. The clock is read after every
    // feed (the feeds' dates are the files' own), which also lets a test clock pace a run.
    qint64 lastFeedAtSecs = 0;

    bool finished() const { return !error.has_value(); }
    bool cancelled() const { return error && error->kind == ErrorKind::Cancelled; }
};

// The state a run works on; the window owns one for the life of the program.
struct RunState {
    FolderList List1;
    FolderArray foundFolders;
    FileLister File1;  // lists the folders on the first (or only) thread that makes feeds
};

// The work of a run: check the base URL, clear List1, scan the input directory, copy the
// folders into List1, store both directories and the base URL, then write one feed per
// folder below the input directory. The settings are stored after a successful scan and
// before the first feed, so a run that fails while writing feeds has stored them and one
// whose scan fails, or whose base URL is refused, has not. A base URL equal to the default
// is not stored (the key is removed), so a machine whose address changes keeps getting
// the right default. A folder below the input directory that cannot be read (see
// spanFolders), when the scan meets it or when its feed is due, gets no feed and goes into
// `skipped`; the run goes on. Every folder's feed name is settled before the first feed, so that no
// two folders share a feed file; an output directory inside the input tree is not scanned.
// No date of a feed comes from the clock: each is a file's or a folder's own.
[[nodiscard]] RunOutcome generateFeeds(const RunInputs &inputs, RunState &state, const Clock &clock,
                                       RunObserver *observer = nullptr);

// The window's side of the command.
class GenerateHost {
public:
    virtual ~GenerateHost() = default;
    // Enables or disables the twelve objects that a run greys out.
    virtual void ItemsStatus(bool &Status) = 0;
    // Shows the outcome and returns once the user has taken note of it.
    virtual void reportOutcome(const RunOutcome &outcome) = 0;
};

// The command's two ends, for a caller that runs generateFeeds elsewhere (the window runs it
// on a worker thread): greying the window out, and reporting then giving the window back.
void beginGenerateCommand(GenerateHost &host);
void finishGenerateCommand(GenerateHost &host, const RunOutcome &outcome);

// The whole command, on the caller's thread: begin, run, finish.
void runGenerateCommand(GenerateHost &host, const RunInputs &inputs, RunState &state,
                        const Clock &clock, RunObserver *observer = nullptr);

// "\"N\" XML files generated."
QString completeMessage(qsizetype feedCount);

// "\"N\" XML files generated before the run was cancelled."
QString cancelledMessage(qsizetype feedCount);

// What the user reads when a run stopped on an error: what failed and what was done before.
QString failureMessage(const Error &error, qsizetype feedsWritten);

} // namespace yf
