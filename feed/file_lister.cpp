#include "feed/file_lister.h"

#include "fast/directory_reader.h"
#include "runtime/file_system.h"

#include <algorithm>
#include <cstring>

namespace yf {

void FileLister::add(const char *name, qsizetype length, const fs::FileFacts &facts)
{
    const qsizetype at = m_names.size();
    m_names.resize(at + length);
    std::memcpy(m_names.data() + at, name, static_cast<std::size_t>(length));
    m_files.push_back(Entry{at, length, facts.size, facts.modified, facts.modifiedNs, fast::NameOrder::kNoKey});
    m_lastModified = std::max(m_lastModified, facts.modified);
}

void FileLister::start(const QByteArray &folder)
{
    m_path = folder;
    m_lastModified = 0;
    m_files.clear();
    m_order.clear();
    m_names.resize(0);  // keeps the capacity of the previous folder
}

void FileLister::sort()
{
    const char *names = m_names.constData();
    std::sort(m_files.begin(), m_files.end(), [this, names](Entry &a, Entry &b) {
        return m_order.less(QByteArrayView(names + a.offset, a.length), a.key,
                            QByteArrayView(names + b.offset, b.length), b.key);
    });
}

Status FileLister::setPath(const QByteArray &folder)
{
    start(folder);
    fast::DirectoryReader stream;
    if (Status opened = stream.openNoFollow(folder); !opened.ok())
        return opened;
    m_lastModified = fs::folderModified(stream.fd()).value_or(0);
    while (const dirent *entry = stream.next()) {
        if (const std::optional<fs::FileFacts> facts = fs::plainFileFacts(stream.fd(), *entry))
            add(entry->d_name, static_cast<qsizetype>(std::strlen(entry->d_name)), *facts);
    }
    if (Status read = stream.status(); !read.ok()) {
        m_files.clear();
        return read;
    }
    sort();
    return {};
}

} // namespace yf
