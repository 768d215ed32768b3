// The time source and the one date format feeds use (RFC 822, English names, real zone).
#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace yf {

// Seconds since the epoch; a seam so tests can fix the moment.
class Clock {
public:
    virtual ~Clock() = default;
    virtual qint64 nowSecs() const = 0;
};

class SystemClock final : public Clock {
public:
    qint64 nowSecs() const override;
};

// Renders a moment as "ddd, d MMM yyyy HH:mm:ss +hhmm" in local time. Day and month
// names are always English, whatever the locale, and the zone is the machine's offset
// at that instant. Remembers the last second it rendered, because a run asks for the
// same second thousands of times, and the zone's offset over the last hour it met,
// because a serial's dates are minutes apart and the C library's local time costs more
// than all the rest of a date.
class DateText {
public:
    const QByteArray &format(qint64 secsSinceEpoch);

private:
    // The offset from UTC in seconds at `secs`, when the hour around it has one offset and
    // local time there is plain arithmetic on it; nothing otherwise.
    bool steadyOffset(qint64 secs, long &offset);

    qint64 m_secs = 0;
    bool m_valid = false;
    QByteArray m_text;
    // The local hour (local seconds / 3600) of m_text and the offset it was made with, when
    // it was made by arithmetic on a steady offset: a moment of that hour and offset differs
    // from it in its minutes and seconds alone.
    qint64 m_textLocalHour = 0;
    long m_textOffset = 0;
    bool m_textByArithmetic = false;
    qint64 m_hour = 0;        // secs / 3600 of the hour whose offset is known
    long m_hourOffset = 0;
    int m_hourState = 0;      // 0 unknown, 1 m_hourOffset holds all of m_hour, 2 it does not
};

} // namespace yf
