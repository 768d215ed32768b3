// The order of names in a listing: numbers by value, letters without regard to case, ties by the bytes.
#pragma once

#include <QByteArrayView>
#include <QString>

#include <vector>

namespace yf::fast {

// The name decoded from UTF-8 (bytes that are not become U+FFFD) and case-folded.
QString caseFolded(QByteArrayView name);

// Orders names by their case-folded form, where a run of ASCII digits counts as the number
// it spells ("Chapter 2" before "Chapter 10"; of two runs of one value the shorter first,
// "1" before "01"), then the shorter first, ties by the exact bytes, so the order is total.
// While both names are ASCII the bytes decide alone, eight at a time; a name beyond ASCII
// gets its folded form made the first time a comparison needs it, kept until clear().
class NameOrder {
public:
    // Where a name's folded form is kept: give each name one, set to kNoKey, and pass the
    // same one with the name every time.
    using KeySlot = qsizetype;
    static constexpr KeySlot kNoKey = -1;

    bool less(QByteArrayView a, KeySlot &aKey, QByteArrayView b, KeySlot &bKey);
    // Forgets every folded form made, for a new set of names.
    void clear() { m_keys.clear(); }

private:
    const QString &key(QByteArrayView name, KeySlot &slot);
    std::vector<QString> m_keys;
};

// The same order for two names alone, with no folded form kept.
bool nameLess(QByteArrayView a, QByteArrayView b);

} // namespace yf::fast
