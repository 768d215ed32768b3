// The files of one folder, as a feed lists them.
#pragma once

#include "fast/name_order.h"
#include "runtime/error.h"
#include "runtime/file_system.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <vector>

namespace yf {

// Lists regular files and links to regular files whose names are not hidden, sorted by name
// as NameOrder sorts them: numbers by value, letters without regard to case, ties broken by
// the exact bytes so the order is total.
class FileLister {
public:
    [[nodiscard]] Status setPath(const QByteArray &folder);

    qsizetype listCount() const { return static_cast<qsizetype>(m_files.size()); }
    // Valid until the next setPath().
    QByteArrayView fileName(qsizetype index) const
    {
        const Entry &e = m_files[static_cast<std::size_t>(index)];
        return QByteArrayView(m_names.constData() + e.offset, e.length);
    }
    qint64 fileSize(qsizetype index) const { return m_files[static_cast<std::size_t>(index)].size; }
    // Last modification, seconds since the epoch (of the target, for a link).
    qint64 fileModified(qsizetype index) const { return m_files[static_cast<std::size_t>(index)].modified; }
    // The same in nanoseconds since the epoch.
    qint64 fileModifiedNs(qsizetype index) const { return m_files[static_cast<std::size_t>(index)].modifiedNs; }
    // The newest modification among the folder itself and its listed files.
    qint64 lastModified() const { return m_lastModified; }
    const QByteArray &path() const { return m_path; }

private:
    // Names live back to back in m_names, so a folder costs a few allocations, not two per
    // file. Only names with non-ASCII bytes may need a case-folded key, made when the sort
    // first needs it.
    struct Entry {
        qsizetype offset = 0;
        qsizetype length = 0;
        qint64 size = 0;
        qint64 modified = 0;
        qint64 modifiedNs = 0;
        fast::NameOrder::KeySlot key = fast::NameOrder::kNoKey;
    };
    void add(const char *name, qsizetype length, const fs::FileFacts &facts);
    void start(const QByteArray &folder);
    void sort();

    QByteArray m_path;
    qint64 m_lastModified = 0;
    QByteArray m_names;
    std::vector<Entry> m_files;
    fast::NameOrder m_order;
};

} // namespace yf
