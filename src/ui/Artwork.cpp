#include "Artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

namespace vigilorn {

QFont tahoma(double pointSize, bool bold) {
    QFont f;
    // Tahoma first; then faces of about its width, the wide DejaVu Sans last.
    f.setFamilies({QStringLiteral("Tahoma"), QStringLiteral("Liberation Sans"),
                   QStringLiteral("Arimo"), QStringLiteral("Nimbus Sans"), QStringLiteral("Arial"),
                   QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("DejaVu Sans")});
    f.setStyleHint(QFont::SansSerif);
    f.setPointSizeF(pointSize);
    f.setBold(bold);
    return f;
}

void paintGreenGradient(QPainter& p, const QRect& r) {
    QLinearGradient g(r.topLeft(), r.bottomRight());
    g.setColorAt(0, QColor(0xd6, 0xee, 0xd0));
    g.setColorAt(0.55, QColor(0x9c, 0xca, 0x94));
    g.setColorAt(1, QColor(0x5f, 0x9c, 0x58));
    p.fillRect(r, g);
}

void paintBand(QPainter& p, const QRect& r, const QString& text, const QFont& font) {
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, QColor(0x3c, 0x78, 0x3a));
    g.setColorAt(1, QColor(0x24, 0x54, 0x24));
    p.fillRect(r, g);
    if (!text.isEmpty()) {
        p.setFont(font);
        p.setPen(QColor(0xf0, 0xf8, 0xe8));
        p.drawText(r.adjusted(8, 0, -8, 0), Qt::AlignVCenter | Qt::AlignLeft | Qt::TextWordWrap,
                   text);
    }
}

QPixmap programIconPixmap(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    // A green shield with a white tick: "watched over".
    QPainterPath shield;
    shield.moveTo(s * 0.5, s * 0.04);
    shield.cubicTo(s * 0.72, s * 0.14, s * 0.86, s * 0.14, s * 0.92, s * 0.14);
    shield.cubicTo(s * 0.92, s * 0.58, s * 0.78, s * 0.82, s * 0.5, s * 0.97);
    shield.cubicTo(s * 0.22, s * 0.82, s * 0.08, s * 0.58, s * 0.08, s * 0.14);
    shield.cubicTo(s * 0.14, s * 0.14, s * 0.28, s * 0.14, s * 0.5, s * 0.04);
    QRadialGradient g(s * 0.4, s * 0.35, s * 0.7);
    g.setColorAt(0, QColor(0x7e, 0xd0, 0x6e));
    g.setColorAt(1, QColor(0x1f, 0x6a, 0x25));
    p.setBrush(g);
    p.setPen(QPen(QColor(0x12, 0x40, 0x16), qMax(1.0, s / 24)));
    p.drawPath(shield);
    QPainterPath tick;
    tick.moveTo(s * 0.28, s * 0.5);
    tick.lineTo(s * 0.44, s * 0.66);
    tick.lineTo(s * 0.73, s * 0.33);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, qMax(1.5, s / 9), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(tick);
    return pm;
}

QIcon programIcon() {
    QIcon icon;
    for (int s : {16, 32, 48, 64})
        icon.addPixmap(programIconPixmap(s));
    return icon;
}

} // namespace vigilorn
