// Writes the program's icon as PNG files for the desktop's icon theme: DIR/NxN/apps/ID.png.
#include "app/desktop.h"

#include <QDir>
#include <QString>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fputs("usage: yarrowfeed_icon_export DIR\n", stderr);
        return 2;
    }
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[1])).arg(size);
        const QString file = dir + QLatin1Char('/') + QLatin1String(yf::kApplicationId) + QStringLiteral(".png");
        if (!QDir().mkpath(dir) || !yf::appIconImage(size).save(file, "PNG")) {
            std::fprintf(stderr, "yarrowfeed_icon_export: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
