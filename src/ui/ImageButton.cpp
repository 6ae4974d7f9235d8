#include "ImageButton.h"

#include "ui/Artwork.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>

#include <utility>

namespace vigilorn {

QPixmap paintButtonFace(const QString& label, QSize size, bool pressed) {
    QPixmap pm(size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(pm.rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    if (pressed) {
        g.setColorAt(0, QColor(0x2e, 0x5e, 0x2e));
        g.setColorAt(1, QColor(0x4a, 0x82, 0x4a));
    } else {
        g.setColorAt(0, QColor(0xb8, 0xde, 0xb0));
        g.setColorAt(0.5, QColor(0x7c, 0xb8, 0x74));
        g.setColorAt(1, QColor(0x4e, 0x8e, 0x48));
    }
    p.setBrush(g);
    p.setPen(QPen(pressed ? QColor(0x1c, 0x3c, 0x1c) : QColor(0x2f, 0x5f, 0x2b), 1));
    p.drawRoundedRect(r, 4, 4);
    // The largest size up to 12 px at which the label fits the face.
    QFont f = tahoma(8.25, true);
    for (int px = qMin(12, qMax(8, size.height() - 8)); px >= 7; --px) {
        f.setPixelSize(px);
        if (QFontMetrics(f).horizontalAdvance(label) <= size.width() - 8)
            break;
    }
    p.setFont(f);
    p.setPen(pressed ? QColor(0xd8, 0xe8, 0xd8) : QColor(0x10, 0x2a, 0x10));
    const QRect textRect = pm.rect().translated(pressed ? 1 : 0, pressed ? 1 : 0);
    p.drawText(textRect, Qt::AlignCenter, label);
    return pm;
}

ImageList makeImageList(const std::vector<FaceSpec>& specs) {
    return ImageList(specs);
}

const QPixmap& ImageList::operator[](std::size_t i) const {
    if (!m_faces.empty()) {
        for (const auto& s : m_faces) {
            m_pixmaps.push_back(paintButtonFace(s.label, s.size, false));
            m_pixmaps.push_back(paintButtonFace(s.label, s.size, true));
        }
        m_faces.clear();
    }
    return m_pixmaps[i];
}

namespace {

// Screen readers see an image button as a push button named after its label, with a press
// action.
class AccessibleImageButton : public QAccessibleWidget {
public:
    explicit AccessibleImageButton(QWidget* w) : QAccessibleWidget(w, QAccessible::Button) {
        addControllingSignal(QStringLiteral("clicked()"));
    }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name)
            return static_cast<ImageButton*>(widget())->label();
        return QAccessibleWidget::text(t);
    }
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& name) override {
        if (name == pressAction())
            static_cast<ImageButton*>(widget())->click();
    }
};

QAccessibleInterface* imageButtonFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("vigilorn::ImageButton") && object && object->isWidgetType())
        return new AccessibleImageButton(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

ImageButton::ImageButton(QWidget* parent, const ImageList& images, int released, int pressed,
                         const QString& label)
    : QWidget(parent), m_images(images), m_released(released), m_pressed(pressed), m_label(label) {
    static const bool installed = [] {
        QAccessible::installFactory(imageButtonFactory);
        return true;
    }();
    (void)installed;
    setAccessibleName(label);
    setFocusPolicy(Qt::NoFocus);
    showImage(released);
}

void ImageButton::showImage(int n) {
    m_shown = n;
    update();
}

void ImageButton::click() {
    emit clicked();
}

void ImageButton::paintEvent(QPaintEvent*) {
    if (m_shown < 1 || static_cast<std::size_t>(m_shown) > m_images.size())
        return;
    QPainter p(this);
    // Unscaled from the top-left corner, cut at the control's edges.
    p.drawPixmap(0, 0, m_images[static_cast<std::size_t>(m_shown - 1)]);
}

void ImageButton::mousePressEvent(QMouseEvent* e) {
    if (m_pressed > 0)
        showImage(m_pressed);
    if (e->button() == Qt::LeftButton)
        m_leftDown = true;
    e->accept();
}

void ImageButton::mouseDoubleClickEvent(QMouseEvent* e) {
    // The second press of a double-click is no press at all: QWidget would otherwise hand it to
    // mousePressEvent and the release after it would run the action a second time.
    e->accept();
}

void ImageButton::mouseReleaseEvent(QMouseEvent* e) {
    if (m_pressed > 0)
        showImage(m_released);
    e->accept();
    if (e->button() != Qt::LeftButton)
        return;
    const bool wasDown = std::exchange(m_leftDown, false);
    if (wasDown && rect().contains(e->position().toPoint()))
        emit clicked();
}

} // namespace vigilorn
