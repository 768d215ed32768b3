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
// same second thousands of times.
class DateText {
public:
    const QByteArray &format(qint64 secsSinceEpoch);

private:
    qint64 m_secs = 0;
    bool m_valid = false;
    QByteArray m_text;
};

} // namespace yf
