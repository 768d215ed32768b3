// Builds the tags case's library: folders of small real MP3 files with ID3 tags.
#pragma once

#include <string>

namespace bench {

struct MediaTreeFacts {
    long folders = 0;  // the input folder included
    long files = 0;    // media files
    long long bytes = 0;
};

// `folders - 1` folders directly below `root`, each with `filesPerFolder` MP3 files of about
// a quarter of a second (valid MPEG frames behind an Info header, as encoders write them),
// tagged through TagLib. Even folders are
// audiobooks: every file with title, album, artist and track number, and a cover.jpg beside
// them; odd ones are talk shows: titles and comments, no track numbers.
[[nodiscard]] bool buildMediaTree(const std::string &root, long folders, long filesPerFolder, MediaTreeFacts &facts,
                                  std::string &error);

} // namespace bench
