// The output directory's list of the feeds the last finished run wrote, and the removal of those no longer written.
#pragma once

#include "runtime/error.h"

#include "runtime/file_copy.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <vector>

namespace yf {

// The list's file in the output directory: hidden, so that no listing of feeds shows it.
inline constexpr char kPublishedFeedsFile[] = ".yarrowfeed-feeds";

// The list's text: a first line that marks it as this program's, then one file name a line,
// sorted by their bytes, each once. A name may hold any byte but "/" and NUL: "%", control
// bytes and DEL are written as "%" and two upper-case hex digits, so every line is one name
// and every name comes back as it was.
[[nodiscard]] QByteArray publishedFeedsText(std::vector<QByteArray> fileNames);

// The names in a list's text, in its order; empty when the text does not start with the
// marking line. A line that is no name this program would write (a bad escape, a raw control
// byte) is left out: a list edited by hand removes less, never more.
[[nodiscard]] std::optional<std::vector<QByteArray>> readPublishedFeedsText(const QByteArray &text);

// Whether a listed name may stand for a feed file directly in the output directory: not
// empty, no "/" or NUL, not hidden (so never "." or ".." nor one of the program's own files),
// ending in ".xml". Any other name is never removed, whatever the list says.
[[nodiscard]] bool isRemovableFeedName(const QByteArray &name);

// What putting the list up to date did.
struct FeedCleanup {
    std::vector<QString> removed;  // old feed files removed, as paths for a person
    // Why an old feed may have stayed: the list could not be read or stored, or a removal
    // failed. None of these touch a feed the run wrote.
    std::vector<Error> problems;
    // What the list's file is now, when it holds the list this run meant to store.
    std::optional<FileIdentity> listFile;
};

// For a run that finished having written (or found unchanged) the feed files `produced` in
// the output directory `outputPath`. Each file the list names and `produced` does not is
// removed when it is still a regular file (not a link) directly in the output directory whose
// text starts with the feed's opening tag; nothing else is ever removed. Then the list is set
// to `produced`, and is not written at all when it holds that already.
//
// Without a list (the first run into this directory) nothing is removed. A list that cannot
// be read or is not this program's removes nothing and is reported; it is then replaced by
// this run's list, so that the next run is back on track. A list that cannot be stored is
// reported and stays as it was: the next run then removes by the older list, which may leave
// a feed that has gone since, but never removes one it wrote. A listed feed that cannot be
// removed is reported and stays on the list, so that a later run tries again.
[[nodiscard]] FeedCleanup updatePublishedFeeds(const QByteArray &outputPath, std::vector<QByteArray> produced);

// As updatePublishedFeeds, for a run whose feed files are those the list names with `came`
// added and `gone` taken away (each sorted by bytes, none in both, no index file among them):
// each of `gone` is removed by the same rules, and the list's text is merged with `came`
// rather than made again. None, with nothing touched, when the list's file is not `listFile`.
// `listFile` vouches that the list is as this program stored it: a large one is then searched
// by blocks where the names go, and read whole only when a line looked at holds no name.
[[nodiscard]] std::optional<FeedCleanup> updatePublishedFeedsBy(const QByteArray &outputPath,
                                                                const FileIdentity &listFile,
                                                                const std::vector<QByteArray> &came,
                                                                const std::vector<QByteArray> &gone);

} // namespace yf
