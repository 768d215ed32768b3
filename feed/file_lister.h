// `File1`: the files of one folder, as a feed lists them.
#pragma once

#include "runtime/error.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace yf {

// Lists regular files and links to regular files whose names are not hidden, sorted by name
// without regard to letter case, ties broken by the exact bytes so the order is total.
class FileLister {
public:
    [[nodiscard]] Status setPath(const QByteArray &folder);

    qsizetype listCount() const { return static_cast<qsizetype>(m_files.size()); }
    const QByteArray &fileName(qsizetype index) const { return m_files[static_cast<std::size_t>(index)].name; }
    qint64 fileSize(qsizetype index) const { return m_files[static_cast<std::size_t>(index)].size; }
    const QByteArray &path() const { return m_path; }

private:
    struct Entry {
        QByteArray name;
        QString sortKey;  // case-folded name
        qint64 size = 0;
    };
    QByteArray m_path;
    std::vector<Entry> m_files;
};

} // namespace yf
