#include "generate/published_feeds.h"

#include "generate/list_lines.h"

#include "runtime/atomic_file.h"
#include "runtime/descriptor.h"
#include "runtime/file_contents.h"
#include "runtime/file_pieces.h"
#include "runtime/file_system.h"

#include <QScopeGuard>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace yf {

namespace {

// Every feed this program writes starts so; a file that does not is someone else's.
constexpr std::string_view kFeedStart = "<rss version=\"2.0\">";

// At most `wanted` bytes of the open file `fd`, from where it is; empty with errno set when
// it cannot be read.
std::optional<QByteArray> readWhole(int fd, qsizetype wanted)
{
    QByteArray bytes;
    bytes.resize(wanted);
    qsizetype done = 0;
    while (done < wanted) {
        const ssize_t n = ::read(fd, bytes.data() + done, static_cast<std::size_t>(wanted - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        done += n;
    }
    bytes.truncate(done);
    return bytes;
}

// Reads at most `limit` bytes (all of it for -1) of the regular file `name` in `dirFd`,
// never through a link. Empty with errno set when it cannot; EINVAL for anything not a
// regular file.
std::optional<QByteArray> readRegularFile(int dirFd, const char *name, qsizetype limit, struct stat &st)
{
    const int fd = ::openat(dirFd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    const auto closeFile = qScopeGuard([fd] { ::close(fd); });
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return std::nullopt;
    }
    return readWhole(fd, limit < 0 ? static_cast<qsizetype>(st.st_size) : limit);
}

enum class Removal { Removed, NotOurs, Failed };

// Removes `name` from `dirFd` when it is still one of our feeds; errno says why it failed.
Removal removeIfFeed(int dirFd, const QByteArray &name)
{
    struct stat opened;
    const std::optional<QByteArray> start =
        readRegularFile(dirFd, name.constData(), static_cast<qsizetype>(kFeedStart.size()), opened);
    if (!start)
        return errno == ENOENT || errno == ELOOP || errno == EINVAL || errno == ENOTDIR ? Removal::NotOurs
                                                                                          : Removal::Failed;
    if (QByteArrayView(*start) != QByteArrayView(kFeedStart.data(), static_cast<qsizetype>(kFeedStart.size())))
        return Removal::NotOurs;
    // The entry must still be the file just read: one put in its place since stays.
    struct stat now;
    if (::fstatat(dirFd, name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Removal::NotOurs : Removal::Failed;
    if (now.st_dev != opened.st_dev || now.st_ino != opened.st_ino)
        return Removal::NotOurs;
    if (::unlinkat(dirFd, name.constData(), 0) != 0)
        return errno == ENOENT ? Removal::NotOurs : Removal::Failed;
    return Removal::Removed;
}

// Removes the listed feed `name` of `outputPath` (open as `folder`) as a run that no longer
// makes it does; false when it stays and must stay listed.
bool removeListedFeed(int folder, const QByteArray &outputPath, const QByteArray &name, FeedCleanup &cleanup)
{
    const QByteArray path = outputPath + '/' + name;
    switch (removeIfFeed(folder, name)) {
    case Removal::Removed:
        cleanup.removed.push_back(fs::displayPath(path));
        return true;
    case Removal::NotOurs:
        return true;
    case Removal::Failed:
        break;
    }
    cleanup.problems.push_back(
        Error::fromErrno(ErrorKind::WriteFeed, QStringLiteral("Cannot remove old feed"), fs::displayPath(path), errno));
    return false;
}

// Stores `text` as the list unless it holds it already; what the file is then. `held`, when
// given, is what the list's file `heldFile` was just read to hold, so it need not be read again.
void noteListNotStored(Error error, FeedCleanup &cleanup)
{
    error.operation = QStringLiteral("Cannot store the list of feeds (old feeds may stay until a later run)");
    cleanup.problems.push_back(std::move(error));
}

void storeList(const QByteArray &outputPath, const QByteArray &text, FeedCleanup &cleanup)
{
    const QByteArray listPath = outputPath + '/' + kPublishedFeedsFile;
    std::optional<FileIdentity> before = fileIdentity(listPath);
    if (fileHolds(outputPath, kPublishedFeedsFile, text)) {
        cleanup.listFile = before;
        return;
    }
    if (Status stored = replaceFile(outputPath, kPublishedFeedsFile, text, ErrorKind::WriteFeed); !stored.ok()) {
        noteListNotStored(stored.error(), cleanup);
        return;
    }
    cleanup.listFile = fileIdentity(listPath);
}

} // namespace

QByteArray publishedFeedsText(std::vector<QByteArray> fileNames)
{
    std::sort(fileNames.begin(), fileNames.end());
    fileNames.erase(std::unique(fileNames.begin(), fileNames.end()), fileNames.end());
    QByteArray text(kListMarkLine.data(), static_cast<qsizetype>(kListMarkLine.size()));
    for (const QByteArray &name : fileNames)
        appendListLine(text, name);
    return text;
}

std::optional<std::vector<QByteArray>> readPublishedFeedsText(const QByteArray &text)
{
    if (!text.startsWith(QByteArrayView(kListMarkLine.data(), static_cast<qsizetype>(kListMarkLine.size()))))
        return std::nullopt;
    std::vector<QByteArray> names;
    forEachListLine(text, [&](qsizetype, qsizetype, std::optional<QByteArrayView> name) {
        if (name)
            names.push_back(name->toByteArray());
    });
    return names;
}

bool isRemovableFeedName(const QByteArray &name)
{
    return name.size() > 4 && !name.startsWith('.') && !name.contains('/') && !name.contains('\0')
        && name.endsWith(".xml");
}

FeedCleanup updatePublishedFeeds(const QByteArray &outputPath, std::vector<QByteArray> produced)
{
    FeedCleanup cleanup;
    const QByteArray listPath = outputPath + '/' + kPublishedFeedsFile;
    std::sort(produced.begin(), produced.end());
    std::vector<QByteArray> kept = produced;  // the new list: what was written, and what could not go

    const int folder = ::open(outputPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const auto closeFolder = qScopeGuard([folder] {
        if (folder >= 0)
            ::close(folder);
    });
    std::optional<std::vector<QByteArray>> listed;
    bool notOurs = false;
    struct stat st;
    if (folder < 0) {
        cleanup.problems.push_back(Error::fromErrno(ErrorKind::ReadEntry,
                                                    QStringLiteral("No old feed was removed: cannot open the folder"),
                                                    fs::displayPath(outputPath), errno));
    } else if (std::optional<QByteArray> text = readRegularFile(folder, kPublishedFeedsFile, -1, st)) {
        listed = readPublishedFeedsText(*text);
        if (!listed)
            notOurs = true;
    } else if (errno == EINVAL || errno == ELOOP) {
        notOurs = true;  // a link or a folder in its place
    } else if (errno != ENOENT) {
        const Error cause = Error::fromErrno(ErrorKind::ReadEntry, {}, {}, errno);
        cleanup.problems.push_back(Error::failure(
            ErrorKind::ReadEntry, QStringLiteral("No old feed was removed: cannot read the list of feeds"),
            fs::displayPath(listPath), cause.reason + QStringLiteral("; it is written anew")));
    }
    if (notOurs)
        cleanup.problems.push_back(Error::failure(
            ErrorKind::ReadEntry, QStringLiteral("No old feed was removed: the list of feeds"),
            fs::displayPath(listPath), QStringLiteral("it is not one this program wrote; it is written anew")));

    for (const QByteArray &name : listed.value_or(std::vector<QByteArray>{})) {
        if (!isRemovableFeedName(name) || std::binary_search(produced.begin(), produced.end(), name))
            continue;
        if (!removeListedFeed(folder, outputPath, name, cleanup))
            kept.push_back(name);
    }

    if (folder < 0)
        return cleanup;
    storeList(outputPath, publishedFeedsText(std::move(kept)), cleanup);
    return cleanup;
}

namespace {

// Where the names that come and go are in a large list, found without reading all of it.
struct ListPlaces {
    std::vector<ListPlace> came;
    std::vector<ListPlace> gone;
};

std::optional<ListPlaces> searchList(int fd, qint64 size, const std::vector<QByteArray> &came,
                                     const std::vector<QByteArray> &gone)
{
    ListFileSearch search(fd, size);
    if (!search.looksStored())
        return std::nullopt;
    ListPlaces places;
    for (const auto &[names, found] : {std::pair{&came, &places.came}, std::pair{&gone, &places.gone}}) {
        for (const QByteArray &name : *names) {
            std::optional<ListPlace> place = search.find(name);
            if (!place)
                return std::nullopt;
            found->push_back(*place);
        }
    }
    return places;
}

// The list with the names that came put in their places and the lines of those gone that
// are `dropped` taken out; the rest copied from the old file.
FilePieces mergedByPlaces(qint64 size, const ListPlaces &places, const std::vector<QByteArray> &came,
                          const std::vector<char> &dropped, bool &changed)
{
    FilePieces merged;
    qint64 stayingFrom = 0;
    std::size_t c = 0, g = 0;
    QByteArray lines;
    for (;;) {
        while (g < places.gone.size() && !(dropped[g] && places.gone[g].holds))
            ++g;
        const qint64 cameAt = c < came.size() ? places.came[c].start : size + 1;
        const qint64 goneAt = g < places.gone.size() ? places.gone[g].start : size + 1;
        if (cameAt > size && goneAt > size)
            break;
        // A name that comes goes before the line it was found at, which holds a name above it.
        const qint64 at = std::min(cameAt, goneAt);
        merged.copy(stayingFrom, at - stayingFrom);
        stayingFrom = at;
        if (cameAt <= goneAt) {
            lines.clear();
            for (; c < came.size() && places.came[c].start == at; ++c) {
                if (!places.came[c].holds)
                    appendListLine(lines, came[c]);
            }
            merged.text(lines);
            changed = changed || !lines.isEmpty();
        } else {
            stayingFrom = places.gone[g++].end;
            changed = true;
        }
    }
    merged.copy(stayingFrom, size - stayingFrom);
    return merged;
}

// The old lines are the list's sorted names, each once: merged with the new ones in one pass.
// A line that holds no name is left out, as readPublishedFeedsText leaves it out.
FilePieces mergedWhole(const QByteArray &text, const std::vector<QByteArray> &came,
                       const std::vector<QByteArray> &gone, const std::vector<char> &dropped, bool &changed)
{
    FilePieces merged;
    auto next = came.begin();
    std::size_t leaving = 0;  // into `gone`
    qsizetype stayingFrom = 0;  // the old bytes from here on are not taken yet
    const auto takeStaying = [&](qsizetype upTo) {
        merged.copy(stayingFrom, upTo - stayingFrom);
        if (upTo > stayingFrom && upTo == text.size() && !text.endsWith('\n')) {
            merged.text("\n");  // the list's last line, ended
            changed = true;
        }
    };
    QByteArray lines;
    forEachListLine(text, [&](qsizetype start, qsizetype end, std::optional<QByteArrayView> name) {
        if (!name) {
            takeStaying(start);
            stayingFrom = end;
            changed = true;
            return;
        }
        if (next != came.end() && QByteArrayView(*next) < *name) {
            takeStaying(start);
            stayingFrom = start;
            lines.clear();
            for (; next != came.end() && QByteArrayView(*next) < *name; ++next)
                appendListLine(lines, *next);
            merged.text(lines);
            changed = true;
        }
        if (next != came.end() && QByteArrayView(*next) == *name)
            ++next;
        while (leaving < gone.size() && QByteArrayView(gone[leaving]) < *name)
            ++leaving;
        if (leaving < gone.size() && dropped[leaving] && QByteArrayView(gone[leaving]) == *name) {
            takeStaying(start);
            stayingFrom = end;
            changed = true;
        }
    });
    takeStaying(text.size());
    lines.clear();
    for (; next != came.end(); ++next)
        appendListLine(lines, *next);
    if (!lines.isEmpty()) {
        merged.text(lines);
        changed = true;
    }
    return merged;
}

} // namespace

std::optional<FeedCleanup> updatePublishedFeedsBy(const QByteArray &outputPath, const FileIdentity &listFile,
                                                  const std::vector<QByteArray> &came,
                                                  const std::vector<QByteArray> &gone)
{
    const fs::Descriptor folder(::open(outputPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const fs::Descriptor list(
        folder.valid() ? ::openat(folder.get(), kPublishedFeedsFile, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK) : -1);
    struct stat st;
    if (!list.valid() || ::fstat(list.get(), &st) != 0 || !S_ISREG(st.st_mode) || fileIdentity(st) != listFile)
        return std::nullopt;
    // A large list, which the identity says is the one stored, is searched where the names
    // go; a small one, or one that does not look as stored, is read and merged whole.
    const auto size = static_cast<qint64>(st.st_size);
    std::optional<ListPlaces> places;
    if (size >= kListSearchedFrom)
        places = searchList(list.get(), size, came, gone);
    std::optional<QByteArray> text;
    if (!places) {
        text = readWhole(list.get(), static_cast<qsizetype>(size));
        const QByteArrayView mark(kListMarkLine.data(), static_cast<qsizetype>(kListMarkLine.size()));
        if (!text || text->size() != size || !text->startsWith(mark))
            return std::nullopt;
    }
    FeedCleanup cleanup;
    std::vector<char> dropped(gone.size(), 0);  // of `gone`: no longer there, or never ours
    for (std::size_t k = 0; k < gone.size(); ++k) {
        if (!isRemovableFeedName(gone[k]) || removeListedFeed(folder.get(), outputPath, gone[k], cleanup))
            dropped[k] = 1;
    }
    bool changed = false;
    const FilePieces merged =
        places ? mergedByPlaces(size, *places, came, dropped, changed) : mergedWhole(*text, came, gone, dropped, changed);
    if (!changed) {
        cleanup.listFile = listFile;
        return cleanup;
    }
    if (Status stored = merged.putInPlace(list.get(), outputPath, kPublishedFeedsFile, ErrorKind::WriteFeed);
        !stored.ok()) {
        noteListNotStored(stored.error(), cleanup);
        return cleanup;
    }
    cleanup.listFile = fileIdentity(outputPath + '/' + kPublishedFeedsFile);
    return cleanup;
}

} // namespace yf
