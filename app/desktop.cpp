#include "app/desktop.h"

#include <QAbstractSocket>
#include <QColor>
#include <QDesktopServices>
#include <QHostAddress>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <QRectF>
#include <QUrl>

namespace yf {

QString systemLocalAddress()
{
    const auto wanted = QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
    for (const QNetworkInterface &iface : QNetworkInterface::allInterfaces()) {
        const auto flags = iface.flags();
        if ((flags & wanted) != wanted || flags.testFlag(QNetworkInterface::IsLoopBack))
            continue;
        for (const QNetworkAddressEntry &entry : iface.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                return entry.ip().toString();
        }
    }
    return QStringLiteral("127.0.0.1");
}

bool openInFileBrowser(const QString &folder)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

namespace {

// A feed sign on an orange tile: a dot and two arcs spreading from the lower left corner.
QPixmap drawIcon(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal unit = size / 16.0;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xE8, 0x7A, 0x1E));
    p.drawRoundedRect(QRectF(0.5, 0.5, size - 1.0, size - 1.0), 3 * unit, 3 * unit);

    const QPointF origin(3.5 * unit, size - 3.5 * unit);
    p.setBrush(Qt::white);
    p.drawEllipse(origin, 1.6 * unit, 1.6 * unit);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, 1.8 * unit, Qt::SolidLine, Qt::RoundCap));
    for (const qreal radius : {5.5 * unit, 9.5 * unit}) {
        const QRectF box(origin.x() - radius, origin.y() - radius, 2 * radius, 2 * radius);
        p.drawArc(box, 0, 90 * 16);  // from "east" to "north": the upper right quarter
    }
    return pixmap;
}

} // namespace

QIcon appIcon()
{
    QIcon icon;
    icon.addPixmap(drawIcon(16));
    icon.addPixmap(drawIcon(32));
    return icon;
}

} // namespace yf
