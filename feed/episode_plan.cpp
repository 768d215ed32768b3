#include "feed/episode_plan.h"

#include "feed/file_lister.h"
#include "tags/tag_source.h"

#include <algorithm>
#include <array>
#include <limits>
#include <tuple>

namespace yf {

bool isCoverArtName(QByteArrayView fileName)
{
    static constexpr std::array<QByteArrayView, 4> kStems = {"cover", "folder", "front", "album"};
    static constexpr std::array<QByteArrayView, 3> kExtensions = {"jpg", "jpeg", "png"};
    const qsizetype dot = fileName.lastIndexOf('.');
    if (dot < 0)
        return false;
    const QByteArrayView stem = fileName.first(dot);
    const QByteArrayView extension = fileName.sliced(dot + 1);
    return std::any_of(kExtensions.begin(), kExtensions.end(),
                       [&](QByteArrayView e) { return equalsIgnoringAsciiCase(extension, e); })
        && std::any_of(kStems.begin(), kStems.end(), [&](QByteArrayView s) { return equalsIgnoringAsciiCase(stem, s); });
}

void collectPlanFiles(const FileLister &lister, TagSource &tags, EpisodePlan &plan)
{
    plan.files.resize(static_cast<std::size_t>(lister.listCount()));
    FolderTagLookup lookup = tags.lookupIn(lister.path());
    for (qsizetype i = 0; i < lister.listCount(); ++i) {
        PlanFile &file = plan.files[static_cast<std::size_t>(i)];
        file.name = lister.fileName(i);
        file.modified = lister.fileModified(i);
        file.media = isMediaFileName(file.name);
        file.details = file.media ? lookup.detailsOf(file.name, lister.fileSize(i), lister.fileModifiedNs(i))
                                  : MediaDetails();
    }
    tags.keep(std::move(lookup));
}

namespace {

// The text every media file has, when they all have the same one that is not blank.
class SharedText {
public:
    void meet(const QByteArray &text)
    {
        if (!m_differs && (text.isEmpty() || (m_text && *m_text != text)))
            m_differs = true;
        m_text = &text;
    }
    QByteArray shared() const { return m_differs || !m_text ? QByteArray() : *m_text; }

private:
    const QByteArray *m_text = nullptr;
    bool m_differs = false;
};

} // namespace

void planEpisodes(EpisodePlan &plan)
{
    const std::vector<PlanFile> &files = plan.files;
    const auto count = static_cast<qsizetype>(files.size());
    plan.episodes.clear();
    plan.cover = -1;
    bool anyMedia = false;
    bool allNumbered = true;
    SharedText album, albumArtist, artist;
    for (qsizetype i = 0; i < count; ++i) {
        const PlanFile &file = files[static_cast<std::size_t>(i)];
        // A picture is no media file: only the others need the look at their names.
        if (plan.cover < 0 && !file.media && isCoverArtName(file.name))
            plan.cover = i;
        if (file.media) {
            anyMedia = true;
            allNumbered = allNumbered && file.details.track > 0;
            album.meet(file.details.album);
            albumArtist.meet(file.details.albumArtist);
            artist.meet(file.details.artist);
        }
    }
    plan.serial = anyMedia && allNumbered;
    plan.album = album.shared();
    plan.author = albumArtist.shared();
    if (plan.author.isEmpty())
        plan.author = artist.shared();

    if (plan.serial) {
        qint64 oldest = std::numeric_limits<qint64>::max();
        for (qsizetype i = 0; i < count; ++i) {
            if (files[static_cast<std::size_t>(i)].media) {
                plan.episodes.push_back({i, 0});
                oldest = std::min(oldest, files[static_cast<std::size_t>(i)].modified);
            }
        }
        // The lister's order is the name order, so the index breaks ties by name.
        std::sort(plan.episodes.begin(), plan.episodes.end(), [&](const PlannedEpisode &a, const PlannedEpisode &b) {
            const MediaDetails &x = files[static_cast<std::size_t>(a.file)].details;
            const MediaDetails &y = files[static_cast<std::size_t>(b.file)].details;
            return std::tie(x.disc, x.track, a.file) < std::tie(y.disc, y.track, b.file);
        });
        // So that every app that sorts by date shows the first chapter first.
        for (std::size_t k = 0; k < plan.episodes.size(); ++k)
            plan.episodes[k].date = oldest + static_cast<qint64>(k) * 60;
    }
    for (qsizetype i = 0; i < count; ++i) {
        const PlanFile &file = files[static_cast<std::size_t>(i)];
        if (i != plan.cover && !(plan.serial && file.media))
            plan.episodes.push_back({i, file.modified});
    }
}

} // namespace yf
