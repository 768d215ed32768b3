// Reading a kept folder's name and path out of its tree's one block of names.
#pragma once

#include "generate/kept_tree.h"

#include <algorithm>

namespace yf::kept {

// The path of `folders[folder]` written into `into`: the root, then each name down to it with "/".
inline QByteArrayView pathIn(const std::vector<KeptFolder> &folders, const QByteArray &names,
                             const QByteArray &root, qint32 folder, QByteArray &into)
{
    qsizetype size = root.size();
    for (qint32 at = folder; at > 0; at = folders[static_cast<std::size_t>(at)].parent)
        size += folders[static_cast<std::size_t>(at)].nameSize + 1;
    into.resize(size);
    char *end = into.data() + size;
    for (qint32 at = folder; at > 0; at = folders[static_cast<std::size_t>(at)].parent) {
        const KeptFolder &f = folders[static_cast<std::size_t>(at)];
        *--end = '/';
        end -= f.nameSize;
        std::copy_n(names.constData() + f.nameAt, f.nameSize, end);
    }
    std::copy_n(root.constData(), root.size(), into.data());
    return into;
}

inline QByteArrayView nameIn(const QByteArray &names, const KeptFolder &folder)
{
    return QByteArrayView(names.constData() + folder.nameAt, folder.nameSize);
}

} // namespace yf::kept
