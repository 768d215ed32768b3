#include "settings/ini_text.h"

#include <vector>

namespace yf::ini {

namespace {

constexpr QByteArrayView kByteOrderMark("\xEF\xBB\xBF");

// Blanks around names and values. A carriage return counts too, so that a last line that
// ends in a lone CR reads like every other line.
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

struct Span {
    qsizetype begin = 0;
    qsizetype end = 0;
    qsizetype size() const { return end - begin; }
};

// [begin, contentEnd) is the line's text, [contentEnd, end) its line end ("\n", "\r\n" or
// nothing for a last line without one).
struct Line {
    qsizetype begin = 0;
    qsizetype contentEnd = 0;
    qsizetype end = 0;
    bool hasLineEnd() const { return end > contentEnd; }
};

enum class Kind { Blank, Comment, Section, Key, Other };

struct Parsed {
    Kind kind = Kind::Blank;
    Span name;   // the section's or the key's name, without blanks
    Span value;  // a key's value, without blanks
};

std::vector<Line> splitLines(QByteArrayView text)
{
    std::vector<Line> lines;
    qsizetype at = text.startsWith(kByteOrderMark) ? kByteOrderMark.size() : 0;
    while (at < text.size()) {
        const qsizetype newline = text.indexOf('\n', at);
        Line line;
        line.begin = at;
        if (newline < 0) {
            line.contentEnd = line.end = text.size();
        } else {
            line.end = newline + 1;
            line.contentEnd = newline > at && text[newline - 1] == '\r' ? newline - 1 : newline;
        }
        lines.push_back(line);
        at = line.end;
    }
    return lines;
}

Span trimmed(QByteArrayView text, qsizetype begin, qsizetype end)
{
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return {begin, end};
}

Parsed parse(QByteArrayView text, const Line &line)
{
    const Span t = trimmed(text, line.begin, line.contentEnd);
    if (t.size() == 0)
        return {};
    const QByteArrayView content = text.sliced(t.begin, t.size());
    if (content.front() == ';' || content.front() == '#')
        return {Kind::Comment, {}, {}};
    if (content.front() == '[') {
        if (const qsizetype close = content.indexOf(']'); close > 0)
            return {Kind::Section, trimmed(text, t.begin + 1, t.begin + close), {}};
    }
    const qsizetype equals = content.indexOf('=');
    if (equals < 0)
        return {Kind::Other, {}, {}};
    return {Kind::Key, trimmed(text, t.begin, t.begin + equals), trimmed(text, t.begin + equals + 1, t.end)};
}

bool sameName(QByteArrayView text, Span name, QStringView wanted)
{
    return QString::fromUtf8(text.sliced(name.begin, name.size())).compare(wanted, Qt::CaseInsensitive) == 0;
}

// Where a key stands: the first section of that name and the lines for the key in it.
struct Place {
    std::vector<Line> lines;
    std::vector<Parsed> parsed;
    qsizetype section = -1;      // the header line, or -1 when there is no such section
    qsizetype sectionEnd = -1;   // the first line after the section
    std::vector<qsizetype> keys; // the key's lines in the section, in order
};

Place locate(QByteArrayView text, QStringView section, QStringView key)
{
    Place place;
    place.lines = splitLines(text);
    place.parsed.reserve(place.lines.size());
    for (const Line &line : place.lines)
        place.parsed.push_back(parse(text, line));
    for (qsizetype i = 0; i < qsizetype(place.lines.size()); ++i) {
        const Parsed &p = place.parsed[std::size_t(i)];
        if (p.kind == Kind::Section) {
            if (place.section >= 0) {
                place.sectionEnd = i;
                break;
            }
            if (sameName(text, p.name, section))
                place.section = i;
        } else if (p.kind == Kind::Key && place.section >= 0 && sameName(text, p.name, key)) {
            place.keys.push_back(i);
        }
    }
    if (place.section >= 0 && place.sectionEnd < 0)
        place.sectionEnd = qsizetype(place.lines.size());
    return place;
}

// The line end that new lines take: the file's first one, or LF for a file without any.
QByteArray lineEnd(QByteArrayView text, const std::vector<Line> &lines)
{
    for (const Line &line : lines) {
        if (line.hasLineEnd())
            return text.sliced(line.contentEnd, line.end - line.contentEnd).toByteArray();
    }
    return QByteArrayLiteral("\n");
}

// Quotes keep blanks at either end of a value, and a value that is itself in quotes.
QByteArray encode(QStringView value)
{
    const QByteArray bytes = value.toUtf8();
    const bool quote = !bytes.isEmpty()
        && (isBlank(bytes.front()) || isBlank(bytes.back())
            || (bytes.size() >= 2 && bytes.front() == '"' && bytes.back() == '"'));
    return quote ? '"' + bytes + '"' : bytes;
}

QString decode(QByteArrayView text, Span value)
{
    QByteArrayView bytes = text.sliced(value.begin, value.size());
    if (bytes.size() >= 2 && bytes.front() == '"' && bytes.back() == '"')
        bytes = bytes.sliced(1, bytes.size() - 2);
    return QString::fromUtf8(bytes);
}

} // namespace

bool looksLikeIniText(QByteArrayView text)
{
    return !text.contains('\0') && text.isValidUtf8();
}

bool isStorableValue(QStringView value)
{
    return !value.contains(QLatin1Char('\n')) && !value.contains(QLatin1Char('\r'))
        && !value.contains(QChar(u'\0'));
}

std::optional<QString> value(QByteArrayView text, QStringView section, QStringView key)
{
    const Place place = locate(text, section, key);
    if (place.keys.empty())
        return std::nullopt;
    return decode(text, place.parsed[std::size_t(place.keys.front())].value);
}

QByteArray withValue(QByteArrayView text, QStringView section, QStringView key, QStringView value)
{
    const Place place = locate(text, section, key);
    const QByteArray encoded = encode(value);
    QByteArray out = text.toByteArray();
    if (!place.keys.empty()) {
        const Span old = place.parsed[std::size_t(place.keys.front())].value;
        return out.replace(old.begin, old.size(), encoded);
    }

    const QByteArray eol = lineEnd(text, place.lines);
    const QByteArray entry = key.toUtf8() + '=' + encoded;
    if (place.section >= 0) {
        // After the section's last entry, so blank lines and comments that lead into the
        // next section stay with it.
        qsizetype after = place.section;
        for (qsizetype i = place.section + 1; i < place.sectionEnd; ++i) {
            const Kind kind = place.parsed[std::size_t(i)].kind;
            if (kind == Kind::Key || kind == Kind::Other)
                after = i;
        }
        const Line &line = place.lines[std::size_t(after)];
        return out.insert(line.end, line.hasLineEnd() ? entry + eol : eol + entry);
    }

    const qsizetype bodyStart = out.startsWith(kByteOrderMark) ? kByteOrderMark.size() : 0;
    if (out.size() > bodyStart && !out.endsWith('\n'))
        out += eol;
    return out + '[' + section.toUtf8() + ']' + eol + entry + eol;
}

std::optional<QByteArray> withoutKey(QByteArrayView text, QStringView section, QStringView key)
{
    const Place place = locate(text, section, key);
    if (place.keys.empty())
        return std::nullopt;
    QByteArray out = text.toByteArray();
    for (auto it = place.keys.rbegin(); it != place.keys.rend(); ++it) {
        const Line &line = place.lines[std::size_t(*it)];
        out.remove(line.begin, line.end - line.begin);
    }
    return out;
}

} // namespace yf::ini
