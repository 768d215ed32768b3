#include "runtime/clock.h"

#include <QDateTime>
#include <QLocale>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace yf {

namespace {

constexpr char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

qint64 floorDiv(qint64 value, qint64 by) { return value / by - (value % by < 0 ? 1 : 0); }

// The calendar date of a day counted from 1970-01-01 (proleptic Gregorian), by the
// well-known era arithmetic: 400 years are always 146,097 days.
void civilFromDays(qint64 days, std::tm &out)
{
    days += 719468;
    const qint64 era = floorDiv(days, 146097);
    const qint64 dayOfEra = days - era * 146097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 shiftedMonth = (5 * dayOfYear + 2) / 153;  // March is 0
    out.tm_mday = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    out.tm_mon = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 2 : shiftedMonth - 10);
    out.tm_year = static_cast<int>(yearOfEra + era * 400 + (out.tm_mon <= 1 ? 1 : 0) - 1900);
}

// Local time as plain arithmetic: the UTC moment moved by the zone's offset.
void brokenDown(qint64 secs, long offset, std::tm &out)
{
    const qint64 local = secs + offset;
    const qint64 days = floorDiv(local, 86400);
    const qint64 ofDay = local - days * 86400;
    civilFromDays(days, out);
    out.tm_hour = static_cast<int>(ofDay / 3600);
    out.tm_min = static_cast<int>(ofDay / 60 % 60);
    out.tm_sec = static_cast<int>(ofDay % 60);
    const qint64 weekday = (days + 4) % 7;  // 1970-01-01 was a Thursday
    out.tm_wday = static_cast<int>(weekday < 0 ? weekday + 7 : weekday);
    out.tm_gmtoff = offset;
}

bool sameFields(const std::tm &a, const std::tm &b)
{
    return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday && a.tm_hour == b.tm_hour
        && a.tm_min == b.tm_min && a.tm_sec == b.tm_sec && a.tm_wday == b.tm_wday;
}

bool libraryLocalTime(qint64 secs, std::tm &out)
{
    const auto t = static_cast<std::time_t>(secs);
    return ::localtime_r(&t, &out) != nullptr;
}

} // namespace

qint64 SystemClock::nowSecs() const { return static_cast<qint64>(std::time(nullptr)); }

bool DateText::steadyOffset(qint64 secs, long &offset)
{
    const qint64 hour = floorDiv(secs, 3600);
    if (m_hourState == 0 || hour != m_hour) {
        // An hour whose first and last second share an offset has that offset throughout:
        // no zone changes its offset twice within an hour. The arithmetic is checked against
        // the library once, so a zone that counts leap seconds keeps the library's answer.
        m_hour = hour;
        m_hourState = 2;
        std::tm first{}, last{}, computed{};
        if (libraryLocalTime(hour * 3600, first) && libraryLocalTime(hour * 3600 + 3599, last)
            && first.tm_gmtoff == last.tm_gmtoff) {
            brokenDown(hour * 3600, first.tm_gmtoff, computed);
            if (sameFields(first, computed)) {
                m_hourOffset = first.tm_gmtoff;
                m_hourState = 1;
            }
        }
    }
    offset = m_hourOffset;
    return m_hourState == 1;
}

const QByteArray &DateText::format(qint64 secsSinceEpoch)
{
    if (m_valid && m_secs == secsSinceEpoch)
        return m_text;
    std::tm local{};
    long offset = 0;
    bool known = true;
    const bool steady = steadyOffset(secsSinceEpoch, offset);
    if (steady && m_valid && m_textByArithmetic && offset == m_textOffset
        && floorDiv(secsSinceEpoch + offset, 3600) == m_textLocalHour) {
        // "mm:ss +hhmm" ends the text: only the minutes and seconds change.
        const qint64 ofHour = secsSinceEpoch + offset - m_textLocalHour * 3600;
        char *minutes = m_text.data() + m_text.size() - 11;
        minutes[0] = char('0' + ofHour / 600);
        minutes[1] = char('0' + ofHour / 60 % 10);
        minutes[3] = char('0' + ofHour % 60 / 10);
        minutes[4] = char('0' + ofHour % 10);
        m_secs = secsSinceEpoch;
        return m_text;
    }
    m_textByArithmetic = false;
    if (steady)
        brokenDown(secsSinceEpoch, offset, local);
    else
        known = libraryLocalTime(secsSinceEpoch, local);

    if (!known) {
        m_text = QLocale::c().toString(QDateTime::fromSecsSinceEpoch(secsSinceEpoch, Qt::UTC),
                                       QStringLiteral("ddd, d MMM yyyy HH:mm:ss +0000")).toLatin1();
    } else {
        const long offsetMinutes = local.tm_gmtoff / 60;
        const long absMinutes = std::labs(offsetMinutes);
        const int year = local.tm_year + 1900;
        char text[64];
        char *at = text;
        if (year >= 0 && year <= 9999 && absMinutes / 60 <= 99) {
            const auto put = [&at](const char *part) {
                while (*part)
                    *at++ = *part++;
            };
            const auto two = [&at](long value) {
                *at++ = char('0' + value / 10);
                *at++ = char('0' + value % 10);
            };
            put(kDays[local.tm_wday]);
            put(", ");
            if (local.tm_mday >= 10)
                *at++ = char('0' + local.tm_mday / 10);
            *at++ = char('0' + local.tm_mday % 10);
            *at++ = ' ';
            put(kMonths[local.tm_mon]);
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
            m_textByArithmetic = steady;
            m_textOffset = offset;
            m_textLocalHour = floorDiv(secsSinceEpoch + offset, 3600);
        } else {
            at += std::snprintf(text, sizeof text, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                                kDays[local.tm_wday], local.tm_mday, kMonths[local.tm_mon], year,
                                local.tm_hour, local.tm_min, local.tm_sec, offsetMinutes < 0 ? '-' : '+',
                                absMinutes / 60, absMinutes % 60);
        }
        // Written over the last text's bytes: nothing else holds them, so no new block.
        m_text.resize(at - text);
        std::memcpy(m_text.data(), text, static_cast<std::size_t>(at - text));
    }
    m_secs = secsSinceEpoch;
    m_valid = true;
    return m_text;
}

} // namespace yf
