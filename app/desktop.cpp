#include "app/desktop.h"

#include <QColor>
#include <QDesktopServices>
#include <QImage>
#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <QRectF>
#include <QUrl>

namespace yf {

bool openInFileBrowser(const QString &folder)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

// A feed sign on an orange tile: a dot and two arcs spreading from the lower left corner.
// misc/icons/ holds the same drawing as SVG, in units of 1/16 of the side.
QImage appIconImage(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
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
    return image;
}

QIcon appIcon()
{
    QIcon icon;
    icon.addPixmap(QPixmap::fromImage(appIconImage(16)));
    icon.addPixmap(QPixmap::fromImage(appIconImage(32)));
    return icon;
}

} // namespace yf
