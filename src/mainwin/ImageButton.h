#pragma once
#include <QPixmap>
#include <QSize>
#include <QString>
#include <QWidget>

#include <vector>

namespace vigilorn {

// A window's image list: entry N of the list is at index N - 1.
using ImageList = std::vector<QPixmap>;

struct FaceSpec {
    QString label;
    QSize size;
};

// Paints a green button face with its label; the pressed face is darker and pushed in.
QPixmap paintButtonFace(const QString& label, QSize size, bool pressed);
// Released/pressed pairs for each face, in order: entries 2k+1 and 2k+2.
ImageList makeImageList(const std::vector<FaceSpec>& specs);

// A picture used as a push button. Any mouse button shows the pressed face while held; a left
// click released over it runs the action. No keyboard handling, by design.
class ImageButton : public QWidget {
    Q_OBJECT
public:
    // pressed = 0: the button has no pressed face.
    ImageButton(QWidget* parent, const ImageList& images, int released, int pressed,
                const QString& label);

    int shownImage() const { return m_shown; }
    QString label() const { return m_label; }
    // Runs the action as a left click would (used by assistive technology).
    void click();

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;

private:
    void showImage(int n);

    const ImageList& m_images;
    int m_released;
    int m_pressed;
    int m_shown = 0;
    bool m_leftDown = false;
    QString m_label;
};

} // namespace vigilorn
