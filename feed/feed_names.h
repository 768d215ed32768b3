// The feed file name of every folder of a run, each distinct and each a valid file name.
#pragma once

#include "scan/folder_paths.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace yf {

// The name (without ".xml") of each folder's feed; folder i gets name(i). The feed name is
// the folder's path below the input path with "/" turned into "-". Where several folders
// share one, the folder latest in `folders` keeps it and each earlier one gets "~" and 8
// lower-case hex digits of a hash of its path below the input path appended; a name that
// with ".xml" would pass `nameMax` bytes is cut at a UTF-8 character boundary and gets the
// same ending. The same folders give the same names at every run. The first folder, the
// input directory, has no feed and gets an empty name.
//
// Only the names with an ending are kept; every other one is made again from its folder
// when asked for, so a run holds no second list the size of its folders. `folders` must
// outlive this object and stay as it was. name() may be called from several threads.
class FeedNames {
public:
    // Groups names to find those that meet; any hash will do, a weak one only costs time.
    using Hash = std::uint64_t (*)(QByteArrayView name);

    FeedNames(const FolderPaths &folders, qsizetype inputPathLength, qsizetype nameMax, Hash hash = nullptr);
    // The same over paths held whole.
    FeedNames(const std::vector<QByteArray> &folders, qsizetype inputPathLength, qsizetype nameMax,
              Hash hash = nullptr);
    FeedNames(const FeedNames &) = delete;
    FeedNames &operator=(const FeedNames &) = delete;

    [[nodiscard]] QByteArray name(std::size_t index) const;
    // How many names got an ending.
    [[nodiscard]] std::size_t suffixedCount() const { return m_suffixed.size(); }
    // The names that got an ending, with their folder's index, by ascending index; every
    // other folder's name is its plain one.
    [[nodiscard]] const std::vector<std::pair<std::size_t, QByteArray>> &suffixed() const { return m_suffixed; }

private:
    void settle(qsizetype nameMax, Hash hash);

    std::optional<FolderPathList> m_wholePaths;  // when made over a vector
    const FolderPaths &m_folders;
    qsizetype m_inputPathLength;
    std::vector<std::pair<std::size_t, QByteArray>> m_suffixed;  // by ascending index
};

// The 32-bit FNV-1a hash of `bytes` as 8 lower-case hex digits.
QByteArray stableHash(const QByteArray &bytes);

// The longest name the file system holding `folder` takes, 255 when it does not say.
qsizetype fileNameLimit(const QByteArray &folder);

} // namespace yf
