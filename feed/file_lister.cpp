#include "feed/file_lister.h"

#include "runtime/file_system.h"

#include <algorithm>
#include <utility>

namespace yf {

namespace {

char16_t asciiLower(char16_t u) { return (u >= 'A' && u <= 'Z') ? static_cast<char16_t>(u + ('a' - 'A')) : u; }

// The name decoded from UTF-8 and case-folded. Folding goes character by character and an
// ASCII letter folds to its lower case, so an ASCII name is folded right here, and only
// names with other characters pay for decoding and Qt's tables (which then find the ASCII
// part done already).
QString caseFolded(const QByteArray &name)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(name.constData());
    const qsizetype n = name.size();
    if (std::all_of(bytes, bytes + n, [](unsigned char c) { return c < 0x80; })) {
        QString key(n, Qt::Uninitialized);
        QChar *out = key.data();
        for (qsizetype i = 0; i < n; ++i)
            out[i] = QChar(asciiLower(bytes[i]));
        return key;
    }
    QString key = QString::fromUtf8(name);
    for (QChar &ch : key)
        ch = QChar(asciiLower(ch.unicode()));
    return std::move(key).toCaseFolded();
}

} // namespace

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
        QString key = caseFolded(name);
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
