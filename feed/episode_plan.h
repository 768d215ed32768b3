// Which files of a folder a feed with tags lists, in what order and under which dates, and what its channel says.
#pragma once

#include "tags/media_details.h"

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

namespace yf {

class FileLister;
class TagSource;

// One listed file as the plan sees it.
struct PlanFile {
    QByteArrayView name;
    qint64 modified = 0;  // seconds since the epoch
    bool media = false;   // an episode whose tags were read
    MediaDetails details;  // none unless `media`
};

struct PlannedEpisode {
    qsizetype file = 0;  // index into the files, which is the lister's index
    qint64 date = 0;     // its pubDate, seconds since the epoch
};

// Kept by a writer from feed to feed, so its buffers are reused.
struct EpisodePlan {
    std::vector<PlanFile> files;         // in the lister's order
    std::vector<PlannedEpisode> episodes;  // in the feed's order
    // Every media file has a track number: they come in (disc, track, name) order, a minute apart.
    bool serial = false;
    qsizetype cover = -1;  // the file that is the channel's art, or -1
    QByteArray album;      // shared by every media file; empty when not
    QByteArray author;     // the album artist they share, else the artist they share; or empty
};

// A picture named cover, folder, front or album with .jpg, .jpeg or .png, in any case.
bool isCoverArtName(QByteArrayView fileName);

// Fills plan.files from the folder `lister` lists, media details from `tags`.
void collectPlanFiles(const FileLister &lister, TagSource &tags, EpisodePlan &plan);

// Decides the rest of the plan from plan.files. A serial's media files come first, the k-th
// (from 0) dated the oldest of their modification times plus k minutes; the other files
// follow in the lister's order under their own dates. A folder that is no serial keeps the
// lister's order and the files' dates. The cover picture is no episode either way.
void planEpisodes(EpisodePlan &plan);

} // namespace yf
