#include "runtime/clock.h"

#include <QDateTime>
#include <QLocale>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace yf {

qint64 SystemClock::nowSecs() const { return static_cast<qint64>(std::time(nullptr)); }

const QByteArray &DateText::format(qint64 secsSinceEpoch)
{
    if (m_valid && m_secs == secsSinceEpoch)
        return m_text;
    // Every item carries its file's date, so this runs once per distinct second of a run:
    // the C library's broken-down local time and a fixed English layout, no format parsing.
    static constexpr char days[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr char months[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const auto t = static_cast<std::time_t>(secsSinceEpoch);
    std::tm local{};
    if (!::localtime_r(&t, &local)) {
        m_text = QLocale::c().toString(QDateTime::fromSecsSinceEpoch(secsSinceEpoch, Qt::UTC),
                                       QStringLiteral("ddd, d MMM yyyy HH:mm:ss +0000")).toLatin1();
    } else {
        const long offsetMinutes = local.tm_gmtoff / 60;
        const long absMinutes = std::labs(offsetMinutes);
        const int year = local.tm_year + 1900;
        if (year >= 0 && year <= 9999 && absMinutes / 60 <= 99) {
            // Digits by hand: a tagged serial gives every item a second of its own, and the
            // C library's formatting costs more than all else an item's date needs.
            char text[40];
            char *at = text;
            const auto put = [&at](const char *part) {
                while (*part)
                    *at++ = *part++;
            };
            const auto two = [&at](long value) {
                *at++ = char('0' + value / 10);
                *at++ = char('0' + value % 10);
            };
            put(days[local.tm_wday]);
            put(", ");
            if (local.tm_mday >= 10)
                *at++ = char('0' + local.tm_mday / 10);
            *at++ = char('0' + local.tm_mday % 10);
            *at++ = ' ';
            put(months[local.tm_mon]);
            *at++ = ' ';
            two(year / 100);
            two(year % 100);
            *at++ = ' ';
            two(local.tm_hour);
            *at++ = ':';
            two(local.tm_min);
            *at++ = ':';
            two(local.tm_sec);
            *at++ = ' ';
            *at++ = offsetMinutes < 0 ? '-' : '+';
            two(absMinutes / 60);
            two(absMinutes % 60);
            m_text = QByteArray(text, at - text);
            m_secs = secsSinceEpoch;
            m_valid = true;
            return m_text;
        }
        char text[64];
        const int n = std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                                    days[local.tm_wday], local.tm_mday, months[local.tm_mon],
                                    local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec,
                                    offsetMinutes < 0 ? '-' : '+', absMinutes / 60, absMinutes % 60);
        m_text = QByteArray(text, n);
    }
    m_secs = secsSinceEpoch;
    m_valid = true;
    return m_text;
}

} // namespace yf
