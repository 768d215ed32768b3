#include "generate/list_lines.h"

#include <algorithm>
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

const QByteArray *ListFileSearch::blockAt(qint64 at)
{
    const qint64 number = at / kBlockBytes;
    auto block = m_blocks.find(number);
    if (block == m_blocks.end()) {
        const qint64 from = number * kBlockBytes;
        const qint64 wanted = std::min(kBlockBytes, m_size - from);  // never past the size known
        QByteArray bytes(static_cast<qsizetype>(wanted), Qt::Uninitialized);
        qint64 done = 0;
        while (done < wanted) {
            const ssize_t n = ::pread(m_fd, bytes.data() + done, static_cast<std::size_t>(wanted - done), from + done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return nullptr;
            done += n;
        }
        bytes.truncate(static_cast<qsizetype>(done));
        block = m_blocks.emplace(number, std::move(bytes)).first;
    }
    if (at - number * kBlockBytes >= block->second.size())
        return nullptr;  // the file is shorter than it was said to be
    return &block->second;
}

std::optional<qint64> ListFileSearch::newlineFrom(qint64 at)
{
    while (at < m_size) {
        const QByteArray *block = blockAt(at);
        if (!block)
            return std::nullopt;
        const auto offset = static_cast<qsizetype>(at % kBlockBytes);
        if (const qsizetype newline = block->indexOf('\n', offset); newline >= 0)
            return at - offset + newline;
        at += block->size() - offset;
    }
    return m_size;
}

std::optional<qint64> ListFileSearch::lineStartFrom(qint64 at)
{
    const std::optional<qint64> newline = newlineFrom(at - 1);
    if (!newline)
        return std::nullopt;
    return *newline < m_size ? *newline + 1 : m_size;
}

std::optional<qint64> ListFileSearch::lineAt(qint64 start, QByteArray &line)
{
    const std::optional<qint64> newline = newlineFrom(start);
    if (!newline || *newline == m_size)
        return std::nullopt;  // a last line not ended: not as stored
    line.clear();
    for (qint64 at = start; at < *newline;) {
        const QByteArray *block = blockAt(at);
        if (!block)
            return std::nullopt;
        const auto offset = static_cast<qsizetype>(at % kBlockBytes);
        const qsizetype length = std::min<qint64>(block->size() - offset, *newline - at);
        line.append(QByteArrayView(*block).sliced(offset, length));
        at += length;
    }
    return *newline + 1;
}

bool ListFileSearch::looksStored()
{
    const auto markSize = static_cast<qint64>(kListMarkLine.size());
    if (m_size < markSize)
        return false;
    const QByteArray *first = blockAt(0);
    const QByteArray *last = blockAt(m_size - 1);
    return first && last && first->startsWith(QByteArrayView(kListMarkLine.data(), markSize))
        && last->endsWith('\n');
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
