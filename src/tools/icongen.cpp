// Writes the program's icon as hicolor PNGs: <out>/<N>x<N>/apps/qmvigilorn.png. The icon is
// painted in code, so the installed files come from the very same painter as the tray icon.
#include "ui/Artwork.h"

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>

#include <cstdio>

int main(int argc, char* argv[]) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: icongen OUTDIR\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    for (int size : {16, 32, 48, 64, 128, 256}) {
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(out).arg(size);
        const QPixmap pm = vigilorn::programIconPixmap(size);
        if (pm.width() != size || pm.height() != size) {
            std::fprintf(stderr, "icongen: the icon came out %dx%d for %d\n", pm.width(),
                         pm.height(), size);
            return 1;
        }
        if (!QDir().mkpath(dir) || !pm.save(dir + QStringLiteral("/qmvigilorn.png"), "PNG")) {
            std::fprintf(stderr, "icongen: cannot write %s\n", qPrintable(dir));
            return 1;
        }
    }
    return 0;
}
