#include "feed/file_lister.h"

#include "runtime/file_system.h"

#include <algorithm>

namespace yf {

Status FileLister::setPath(const QByteArray &folder)
{
    m_path = folder;
    m_files.clear();
    fs::DirectoryStream stream;
    if (Status opened = stream.open(folder); !opened.ok())
        return opened;
    while (const dirent *entry = stream.next()) {
        const std::optional<qint64> size = fs::plainFileSize(stream.fd(), *entry);
        if (!size)
            continue;
        QByteArray name(entry->d_name);
        QString key = QString::fromUtf8(name).toCaseFolded();
        m_files.push_back(Entry{std::move(name), std::move(key), *size});
    }
    if (Status read = stream.status(); !read.ok()) {
        m_files.clear();
        return read;
    }
    std::sort(m_files.begin(), m_files.end(), [](const Entry &a, const Entry &b) {
        if (const int c = a.sortKey.compare(b.sortKey); c != 0)
            return c < 0;
        return a.name < b.name;
    });
    return {};
}

} // namespace yf
