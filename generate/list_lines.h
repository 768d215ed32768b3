// The lines of the list of feeds: one name a line, escaped, and where a name's line is in a large list read by blocks.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <map>
#include <optional>
#include <string_view>

namespace yf {

// The list's first line, which marks it as this program's.
inline constexpr std::string_view kListMarkLine = "# yarrowfeed feeds, version 1\n";

// One name as a line of the list: "%", control bytes and DEL as "%" and two upper-case hex
// digits, every other byte as it is, then "\n".
void appendListLine(QByteArray &text, QByteArrayView name);

// The name `line` (without its "\n") holds, none when it holds none (a raw control byte, a
// bad escape): a view of the line itself when nothing in it is escaped, else of `scratch`,
// which the name is decoded into.
[[nodiscard]] std::optional<QByteArrayView> nameOfListLine(QByteArrayView line, QByteArray &scratch);

// Calls `visit(start, end, name)` for each line of the list `text` after its mark line:
// where the line starts, where the next one does, and the name it holds (see nameOfListLine).
template <typename Visit>
void forEachListLine(QByteArrayView text, Visit visit)
{
    QByteArray scratch;
    for (qsizetype at = static_cast<qsizetype>(kListMarkLine.size()); at < text.size();) {
        const qsizetype newline = text.indexOf('\n', at);
        const qsizetype end = newline < 0 ? text.size() : newline;
        const qsizetype next = newline < 0 ? text.size() : newline + 1;
        visit(at, next, nameOfListLine(text.sliced(at, end - at), scratch));
        at = next;
    }
}

// Lists from this size on are searched by blocks rather than read whole.
inline constexpr qint64 kListSearchedFrom = 256 * 1024;

// Where a name's line is in a list, or where it would go.
struct ListPlace {
    qint64 start = 0;  // of the first line whose name is not below the name, or the list's end
    qint64 end = 0;    // of that line
    bool holds = false;  // that line's name is the name
};

// A list's file as this program stored it (sorted by names, each once, every line ended),
// read by blocks around the lines a search looks at: a change to a list of 100,000 feeds
// reads a few dozen blocks, not megabytes.
class ListFileSearch {
public:
    // `fd` stays the caller's; `size` is the file's.
    ListFileSearch(int fd, qint64 size);

    // Whether the file starts with the mark line and ends its last line; false too when it
    // cannot be read.
    [[nodiscard]] bool looksStored();
    // The first line whose name is not below `name`. None when a line looked at holds no
    // name, or the file cannot be read: the list is then not as this program stored it.
    [[nodiscard]] std::optional<ListPlace> find(QByteArrayView name);

private:
    // The block that holds the byte at `at` (below the size); none when it cannot be read.
    const QByteArray *blockAt(qint64 at);
    // Where the first "\n" at or after `at` is; the size when there is none.
    std::optional<qint64> newlineFrom(qint64 at);
    // Where the first line at or after `at` starts; the size when none does.
    std::optional<qint64> lineStartFrom(qint64 at);
    // The line that starts at `start`, without its "\n", into `line`; where the next starts.
    std::optional<qint64> lineAt(qint64 start, QByteArray &line);

    int m_fd;
    qint64 m_size;
    std::map<qint64, QByteArray> m_blocks;  // by block number
};

} // namespace yf
