// The text of an INI file: finding one key, and editing its one line while every other byte stays.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>

namespace yf::ini {

// True when `text` may be taken for an INI text: valid UTF-8 (a byte-order mark allowed)
// without a NUL byte. Anything else is not read and never rewritten.
bool looksLikeIniText(QByteArrayView text);

// True when `value` can be stored on one line and read back as it is: no line break, no NUL.
bool isStorableValue(QStringView value);

// The value of the first line for `key` in the first section named `section`, or nothing.
// Names match without regard to letter case and to blanks around them; the value is taken
// without the blanks around it, and without one pair of double quotes that enclose it.
std::optional<QString> value(QByteArrayView text, QStringView section, QStringView key);

// `text` with `key` set to `value` (see isStorableValue). Only the value's bytes of the
// key's line change; a missing key gets a line "key=value" after the section's last entry,
// a missing section is added at the end. New lines end as the file's first line does.
QByteArray withValue(QByteArrayView text, QStringView section, QStringView key, QStringView value);

// `text` without the lines for `key` in the first section named `section`; nothing when
// there is no such line.
std::optional<QByteArray> withoutKey(QByteArrayView text, QStringView section, QStringView key);

} // namespace yf::ini
