#pragma once
#include <QPixmap>
#include <QSize>
#include <QString>
#include <QWidget>

#include <initializer_list>
#include <utility>
#include <vector>

namespace vigilorn {

struct FaceSpec {
    QString label;
    QSize size;
};

// A window's image list: entry N of the list is at index N - 1. Button faces are painted the
// first time the list is read: painting a label loads the fonts, which a window that is made
// but never shown (the main window of a program started in the tray) has no use for.
class ImageList {
public:
    ImageList(std::initializer_list<QPixmap> pixmaps) : m_pixmaps(pixmaps) {}
    // Released/pressed pairs for each face, in order: entries 2k+1 and 2k+2.
    explicit ImageList(std::vector<FaceSpec> faces) : m_faces(std::move(faces)) {}

    std::size_t size() const { return m_pixmaps.size() + 2 * m_faces.size(); }
    const QPixmap& operator[](std::size_t i) const;

private:
    mutable std::vector<QPixmap> m_pixmaps;
    mutable std::vector<FaceSpec> m_faces; // not painted yet
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
