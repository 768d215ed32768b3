#include "generate/list_lines.h"

#include <cerrno>
#include <unistd.h>

namespace yf {

namespace {

constexpr qint64 kBlockBytes = 4096;
// A span this short is walked line by line; longer than the longest line a name makes
// (255 bytes, each escaped as three), so that a line starts in each half of a longer one.
constexpr qint64 kWalkedSpan = 2 * kBlockBytes;

bool needsEscape(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return c == '%' || byte < 0x20 || byte == 0x7f;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<QByteArray> decodeLine(QByteArrayView line)
{
    QByteArray name;
    name.reserve(line.size());
    for (qsizetype at = 0; at < line.size(); ++at) {
        const char c = line[at];
        if (c != '%') {
            if (needsEscape(c))
                return std::nullopt;
            name.append(c);
            continue;
        }
        if (at + 2 >= line.size())
            return std::nullopt;
        const int high = hexValue(line[at + 1]);
        const int low = hexValue(line[at + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        name.append(static_cast<char>(high * 16 + low));
        at += 2;
    }
    return name;
}

} // namespace

void appendListLine(QByteArray &text, QByteArrayView name)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : name) {
        if (!needsEscape(c)) {
            text.append(c);
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        text.append('%').append(kHex[byte >> 4]).append(kHex[byte & 0xf]);
    }
    text.append('\n');
}

std::optional<QByteArrayView> nameOfListLine(QByteArrayView line, QByteArray &scratch)
{
    for (const char c : line) {
        if (c == '%') {
            std::optional<QByteArray> decoded = decodeLine(line);
            if (!decoded)
                return std::nullopt;
            scratch = std::move(*decoded);
            return QByteArrayView(scratch);
        }
        if (needsEscape(c))
            return std::nullopt;
    }
    return line;
}

ListFileSearch::ListFileSearch(int fd, qint64 size)
    : m_fd(fd)
    , m_size(size)
{
}

std::optional<char> ListFileSearch::byteAt(qint64 at)
{
    const qint64 number = at / kBlockBytes;
    auto block = m_blocks.find(number);
    if (block == m_blocks.end()) {
        QByteArray bytes(static_cast<qsizetype>(kBlockBytes), Qt::Uninitialized);
        const qint64 from = number * kBlockBytes;
        qint64 done = 0;
        while (from + done < m_size && done < kBlockBytes) {
            const ssize_t n = ::pread(m_fd, bytes.data() + done, static_cast<std::size_t>(kBlockBytes - done), from + done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return std::nullopt;
            done += n;
        }
        bytes.truncate(static_cast<qsizetype>(done));
        block = m_blocks.emplace(number, std::move(bytes)).first;
    }
    const qint64 offset = at - number * kBlockBytes;
    if (offset >= block->second.size())
        return std::nullopt;  // the file is shorter than it was said to be
    return block->second[static_cast<qsizetype>(offset)];
}

std::optional<qint64> ListFileSearch::lineStartFrom(qint64 at)
{
    for (qint64 k = at - 1; k < m_size; ++k) {
        const std::optional<char> c = byteAt(k);
        if (!c)
            return std::nullopt;
        if (*c == '\n')
            return k + 1;
    }
    return m_size;
}

std::optional<qint64> ListFileSearch::lineAt(qint64 start, QByteArray &line)
{
    line.clear();
    for (qint64 k = start; k < m_size; ++k) {
        const std::optional<char> c = byteAt(k);
        if (!c)
            return std::nullopt;
        if (*c == '\n')
            return k + 1;
        line.append(*c);
    }
    return std::nullopt;  // a last line not ended: not as stored
}

bool ListFileSearch::looksStored()
{
    const auto markSize = static_cast<qint64>(kListMarkLine.size());
    if (m_size < markSize)
        return false;
    for (qint64 k = 0; k < markSize; ++k) {
        if (byteAt(k) != kListMarkLine[static_cast<std::size_t>(k)])
            return false;
    }
    return byteAt(m_size - 1) == '\n';
}

std::optional<ListPlace> ListFileSearch::find(QByteArrayView name)
{
    // Every line before `low` holds a name below `name`; none from `high` on does.
    qint64 low = static_cast<qint64>(kListMarkLine.size());
    qint64 high = m_size;
    QByteArray line, scratch;
    while (high - low > kWalkedSpan) {
        const std::optional<qint64> start = lineStartFrom(low + (high - low) / 2);
        if (!start)
            return std::nullopt;
        if (*start >= high)
            break;  // a line longer than any this program writes: walked instead
        const std::optional<qint64> next = lineAt(*start, line);
        const std::optional<QByteArrayView> there = next ? nameOfListLine(line, scratch) : std::nullopt;
        if (!there)
            return std::nullopt;
        if (*there < name)
            low = *next;
        else
            high = *start;
    }
    for (qint64 at = low; at < m_size;) {
        const std::optional<qint64> next = lineAt(at, line);
        const std::optional<QByteArrayView> there = next ? nameOfListLine(line, scratch) : std::nullopt;
        if (!there)
            return std::nullopt;
        if (!(*there < name))
            return ListPlace{at, *next, *there == name};
        at = *next;
    }
    return ListPlace{m_size, m_size, false};
}

} // namespace yf
