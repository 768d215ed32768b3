// The feed file name of every folder of a run, each distinct and each a valid file name.
#pragma once

#include <QByteArray>

#include <vector>

namespace yf {

// The name (without ".xml") of each folder's feed; folder i gets element i. The feed name
// is the folder's path below the input path with "/" turned into "-". Where several folders
// share one, the folder latest in `folders` keeps it and each earlier one gets "~" and 8
// lower-case hex digits of a hash of its path below the input path appended; a name that
// with ".xml" would pass `nameMax` bytes is cut at a UTF-8 character boundary and gets the
// same ending. The same folders give the same names at every run. The first folder, the
// input directory, has no feed and gets an empty name.
std::vector<QByteArray> feedNames(const std::vector<QByteArray> &folders, qsizetype inputPathLength,
                                  qsizetype nameMax);

// The 32-bit FNV-1a hash of `bytes` as 8 lower-case hex digits.
QByteArray stableHash(const QByteArray &bytes);

// The longest name the file system holding `folder` takes, 255 when it does not say.
qsizetype fileNameLimit(const QByteArray &folder);

} // namespace yf
