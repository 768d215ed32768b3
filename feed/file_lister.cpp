#include "feed/file_lister.h"

#include "runtime/file_system.h"

#include <algorithm>
#include <utility>

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
        // Folding is per character, and an ASCII letter folds to its lower case. Doing those
        // here leaves Qt's tables only the names with other letters, at a fraction of the cost.
        QString key = QString::fromUtf8(name);
        bool ascii = true;
        for (QChar &ch : key) {
            const char16_t u = ch.unicode();
            if (u >= 0x80)
                ascii = false;
            else if (u >= 'A' && u <= 'Z')
                ch = QChar(static_cast<char16_t>(u + ('a' - 'A')));
        }
        if (!ascii)
            key = std::move(key).toCaseFolded();
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
