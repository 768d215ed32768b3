// Builds and removes the benchmark's synthetic media library on disk.
#pragma once

#include <string>

namespace bench {

struct TreeShape {
    long folders = 10000;     // the input folder included
    long filesPerFolder = 20;
    long fanOut = 6;          // sub-folders per folder; the depth follows from it
};

struct TreeFacts {
    long folders = 0;
    long files = 0;
    long depth = 0;           // levels below the input folder
    long long fileBytes = 0;  // total size of the audio files
};

// Folder k (k >= 1) is the child of folder (k - 1) / fanOut, so the tree fills level by level.
// Names carry blanks, "&", "#", "%", "'" and non-ASCII letters (half the folder names,
// two file names in five); folder names never hold "-", so that no two folders share a feed
// name. Every fifth file name starts in lower case. Files are empty or a few hundred bytes.
// The folders are made first, then `threads` threads (at least one) fill them with files.
[[nodiscard]] bool buildTree(const std::string &root, const TreeShape &shape, TreeFacts &facts,
                             std::string &error, unsigned threads = 1);

// Folder k's path below the input folder ("" for k = 0): its ancestors' names joined by "/".
std::string folderPath(const TreeShape &shape, long k);

// Deletes `dir` and everything in it.
[[nodiscard]] bool removeTree(const std::string &dir, std::string &error);

} // namespace bench
