#include "runtime/clock.h"

#include <QDateTime>
#include <QLocale>

#include <cstdlib>
#include <ctime>

namespace yf {

qint64 SystemClock::nowSecs() const { return static_cast<qint64>(std::time(nullptr)); }

const QByteArray &DateText::format(qint64 secsSinceEpoch)
{
    if (m_valid && m_secs == secsSinceEpoch)
        return m_text;
    const QDateTime local = QDateTime::fromSecsSinceEpoch(secsSinceEpoch, Qt::LocalTime);
    const int offsetMinutes = local.offsetFromUtc() / 60;
    const int absMinutes = std::abs(offsetMinutes);
    m_text = QLocale::c().toString(local, QStringLiteral("ddd, d MMM yyyy HH:mm:ss")).toLatin1();
    m_text += offsetMinutes < 0 ? " -" : " +";
    m_text += QByteArray::number(absMinutes / 60).rightJustified(2, '0');
    m_text += QByteArray::number(absMinutes % 60).rightJustified(2, '0');
    m_secs = secsSinceEpoch;
    m_valid = true;
    return m_text;
}

} // namespace yf
