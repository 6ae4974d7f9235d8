#pragma once
// The program's own artwork, painted in code: the green backgrounds, bands and the icon.
#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPixmap>
#include <QString>

class QPainter;
class QRect;

namespace vigilorn {

inline const QColor kPanelGreen(0x8C, 0xB6, 0x8C);

// Tahoma where the machine has it, else the closest sans-serif.
QFont tahoma(double pointSize, bool bold = false);

void paintGreenGradient(QPainter& p, const QRect& r);
// A darker band with a caption, for titles and footers.
void paintBand(QPainter& p, const QRect& r, const QString& text, const QFont& font);

QPixmap programIconPixmap(int size);
QIcon programIcon();

} // namespace vigilorn
