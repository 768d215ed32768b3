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
