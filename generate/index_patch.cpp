#include "generate/index_patch.h"

#include "generate/index_text.h"
#include "runtime/atomic_file.h"
#include "runtime/descriptor.h"
#include "runtime/file_pieces.h"
#include "runtime/file_system.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace yf {

namespace {

// An entry kept from the old files, and where its parts were in them.
struct KeptEntry {
    IndexPlace place;
    qint64 pageAt = 0;
    qint64 opmlAt = 0;
};

// An index file as the last run left it, open for reading.
struct OldFile {
    fs::Descriptor fd;
    qint64 size = 0;
};

std::optional<OldFile> openAsLeft(const QByteArray &path, const std::optional<FileIdentity> &left)
{
    if (!left)
        return std::nullopt;
    OldFile file{fs::Descriptor(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)), 0};
    if (!file.fd.valid() || fileIdentity(file.fd.get()) != left)
        return std::nullopt;
    file.size = static_cast<qint64>(left->size);
    return file;
}

// Whether `pieces` make exactly the old file again.
bool sameAsOld(const OldFile &old, const FilePieces &pieces)
{
    qint64 at = 0;
    QByteArray there;
    for (const FilePiece &piece : pieces.pieces()) {
        if (piece.from >= 0) {
            if (piece.from != at)
                return false;
            at += piece.length;
            continue;
        }
        there.resize(piece.text.size());
        if (::pread(old.fd.get(), there.data(), static_cast<std::size_t>(there.size()), at) != there.size()
            || there != piece.text)
            return false;
        at += piece.text.size();
    }
    return at == old.size;
}

// Puts `pieces` in place of `fileName` unless they make the same text; what the file is then.
std::optional<FileIdentity> putPieces(const QByteArray &outputPath, const QByteArray &fileName, const OldFile &old,
                                      const std::optional<FileIdentity> &left, const FilePieces &pieces,
                                      FeedIndex &index)
{
    if (!sameAsOld(old, pieces)) {
        if (Status put = pieces.putInPlace(old.fd.get(), outputPath, fileName, ErrorKind::WriteFeed); !put.ok()) {
            index.problems.push_back(put.error());
            return std::nullopt;
        }
        index.written.push_back(fileName);
        return fileIdentity(outputPath + '/' + fileName);
    }
    index.written.push_back(fileName);
    return left;
}

std::vector<QByteArray> sortedUnique(std::vector<QByteArray> names)
{
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

} // namespace

std::optional<PatchedIndex> patchFeedIndex(const QByteArray &outputPath, const std::optional<QByteArray> &address,
                                           const KeptIndexFiles &kept, const IndexChange &change)
{
    if (address != kept.address || (!address && ::access((outputPath + '/' + kOpmlFile).constData(), F_OK) == 0))
        return std::nullopt;  // a stale OPML file is dealt with by the whole run's rules
    const bool opmlWritten = address.has_value();
    const std::optional<OldFile> page = openAsLeft(outputPath + '/' + kIndexPageFile, kept.pageFile);
    std::optional<OldFile> opml;
    if (!page || (opmlWritten && !(opml = openAsLeft(outputPath + '/' + kOpmlFile, kept.opmlFile))))
        return std::nullopt;

    PatchedIndex patched;
    // The entries that stay, in their order, with where they were.
    std::vector<KeptEntry> stay;
    stay.reserve(kept.order.size());
    qint64 pageAt = pageHeadText(static_cast<qsizetype>(kept.order.size()), opmlWritten).size();
    qint64 opmlAt = opmlWritten ? opmlHeadText().size() : 0;
    for (const IndexPlace &entry : kept.order) {
        const qint32 now = change.nowAt ? (*change.nowAt)[static_cast<std::size_t>(entry.place)] : entry.place;
        if (now < 0 || (*change.remade)[static_cast<std::size_t>(now)])
            patched.gone.push_back(change.oldFileName(entry.place));
        else
            stay.push_back(KeptEntry{IndexPlace{now, entry.pageBytes, entry.opmlBytes}, pageAt, opmlAt});
        pageAt += entry.pageBytes;
        opmlAt += entry.opmlBytes;
    }
    std::vector<IndexEntry> added;
    added.reserve(change.written.size());
    for (const qint32 place : change.written)
        added.push_back(change.entryAt(place));
    std::sort(added.begin(), added.end(), indexEntryLess);

    const qsizetype count = static_cast<qsizetype>(stay.size() + added.size());
    FilePieces pagePieces;
    pagePieces.text(pageHeadText(count, opmlWritten));
    FilePieces opmlPieces;
    if (opmlWritten)
        opmlPieces.text(opmlHeadText());
    std::vector<IndexPlace> &order = patched.index.order;
    order.reserve(static_cast<std::size_t>(count));
    auto next = stay.begin();
    const auto keepUpTo = [&](std::vector<KeptEntry>::iterator end) {
        for (; next != end; ++next) {
            pagePieces.copy(next->pageAt, next->place.pageBytes);
            if (opmlWritten)
                opmlPieces.copy(next->opmlAt, next->place.opmlBytes);
            order.push_back(next->place);
        }
    };
    for (const IndexEntry &entry : added) {
        // The entries that stay keep their keys, so they are still in order among themselves.
        keepUpTo(std::partition_point(next, stay.end(), [&](const KeptEntry &there) {
            return indexEntryLess(change.entryAt(there.place.place), entry);
        }));
        QByteArray text;
        appendPageEntry(text, entry);
        IndexPlace place{entry.place, static_cast<quint32>(text.size()), 0};
        pagePieces.text(text);
        if (opmlWritten) {
            text.clear();
            appendOpmlEntry(text, entry, *address);
            place.opmlBytes = static_cast<quint32>(text.size());
            opmlPieces.text(text);
        }
        order.push_back(place);
        patched.came.push_back(entry.fileName);
    }
    keepUpTo(stay.end());
    pagePieces.text(pageTailText());
    opmlPieces.text(opmlTailText());

    FeedIndex &index = patched.index;
    if (opmlWritten)
        index.opmlFile = putPieces(outputPath, kOpmlFile, *opml, kept.opmlFile, opmlPieces, index);
    // An OPML file that could not be written changes the page's text: the whole run's way.
    if (opmlWritten && !index.opmlFile)
        return std::nullopt;
    index.pageFile = putPieces(outputPath, kIndexPageFile, *page, kept.pageFile, pagePieces, index);
    if (index.pageFile) {
        index.pagePath = fs::displayPath(outputPath + '/' + kIndexPageFile);
        if (address)
            index.pageAddress = QString::fromLatin1(*address + kIndexPageFile);
    }
    // A feed made again under its old name neither came nor went.
    std::vector<QByteArray> came = sortedUnique(std::move(patched.came));
    std::vector<QByteArray> gone = sortedUnique(std::move(patched.gone));
    patched.came.clear();
    patched.gone.clear();
    std::set_difference(came.begin(), came.end(), gone.begin(), gone.end(), std::back_inserter(patched.came));
    std::set_difference(gone.begin(), gone.end(), came.begin(), came.end(), std::back_inserter(patched.gone));
    return patched;
}

} // namespace yf
