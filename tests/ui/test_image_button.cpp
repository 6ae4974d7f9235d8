#include "ui/ImageButton.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QApplication>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

using namespace vigilorn;

class TestImageButton : public QObject {
    Q_OBJECT
    ImageList list =
        makeImageList({{QStringLiteral("Yes"), {79, 22}}, {QStringLiteral("No"), {79, 22}}});

private slots:
    void facesArePairedAndSized() {
        QCOMPARE(list.size(), std::size_t(4));
        QCOMPARE(list[0].size(), QSize(79, 22));
        QCOMPARE(list[1].size(), QSize(79, 22));
        // The pressed face is darker than the released one.
        auto lightness = [](const QPixmap& pm) {
            const QImage img = pm.toImage();
            qint64 sum = 0;
            for (int y = 0; y < img.height(); ++y)
                for (int x = 0; x < img.width(); ++x)
                    sum += qGray(img.pixel(x, y));
            return sum;
        };
        QVERIFY(lightness(list[1]) < lightness(list[0]));
        QVERIFY(list[0].toImage() != list[2].toImage()); // different labels, different faces
    }

    void anyButtonPressesOnlyTheLeftClicks() {
        QWidget w;
        ImageButton b(&w, list, 3, 4, QStringLiteral("No"));
        b.setGeometry(0, 0, 78, 21);
        QSignalSpy clicks(&b, &ImageButton::clicked);
        QCOMPARE(b.shownImage(), 3);
        for (Qt::MouseButton button : {Qt::RightButton, Qt::MiddleButton}) {
            QTest::mousePress(&b, button);
            QCOMPARE(b.shownImage(), 4);
            QTest::mouseRelease(&b, button);
            QCOMPARE(b.shownImage(), 3);
        }
        QCOMPARE(clicks.count(), 0);
        QTest::mouseClick(&b, Qt::LeftButton);
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(b.shownImage(), 3);
    }

    void releasedOutsideRestoresTheFaceWithoutAction() {
        QWidget w;
        ImageButton b(&w, list, 1, 2, QStringLiteral("Yes"));
        b.setGeometry(0, 0, 78, 21);
        QSignalSpy clicks(&b, &ImageButton::clicked);
        QTest::mousePress(&b, Qt::LeftButton, {}, QPoint(10, 10));
        QTest::mouseRelease(&b, Qt::LeftButton, {}, QPoint(200, 10));
        QCOMPARE(b.shownImage(), 1);
        QCOMPARE(clicks.count(), 0);
    }

    void noPressedFaceNeverChanges() {
        QWidget w;
        ImageButton b(&w, list, 1, 0, QStringLiteral("OK"));
        b.setGeometry(0, 0, 87, 25);
        QSignalSpy clicks(&b, &ImageButton::clicked);
        QTest::mousePress(&b, Qt::LeftButton);
        QCOMPARE(b.shownImage(), 1);
        QTest::mouseRelease(&b, Qt::LeftButton);
        QCOMPARE(clicks.count(), 1);
    }

    void secondPressOfADoubleClickDoesNothing_data() {
        QTest::addColumn<int>("pressed");
        QTest::newRow("with a pressed face") << 2;
        QTest::newRow("without a pressed face") << 0;
    }
    void secondPressOfADoubleClickDoesNothing() {
        QFETCH(int, pressed);
        QWidget w;
        ImageButton b(&w, list, 1, pressed, QStringLiteral("Yes"));
        b.setGeometry(0, 0, 78, 21);
        QSignalSpy clicks(&b, &ImageButton::clicked);
        // The order the window system delivers a double-click in.
        const QPointF at(10, 10);
        const QPointF global = b.mapToGlobal(at);
        auto send = [&](QEvent::Type type, Qt::MouseButtons held) {
            QMouseEvent e(type, at, global, Qt::LeftButton, held, Qt::NoModifier);
            QApplication::sendEvent(&b, &e);
        };
        send(QEvent::MouseButtonPress, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, Qt::NoButton);
        QCOMPARE(clicks.count(), 1);
        send(QEvent::MouseButtonDblClick, Qt::LeftButton);
        QCOMPARE(b.shownImage(), 1);
        send(QEvent::MouseButtonRelease, Qt::NoButton);
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(b.shownImage(), 1);
        // The next single click is a click again.
        QTest::mouseClick(&b, Qt::LeftButton);
        QCOMPARE(clicks.count(), 2);
    }

    void keyboardDoesNothingAccessibilityDoes() {
        QWidget w;
        ImageButton b(&w, list, 1, 2, QStringLiteral("Yes"));
        b.setGeometry(0, 0, 78, 21);
        QSignalSpy clicks(&b, &ImageButton::clicked);
        QTest::keyClick(&b, Qt::Key_Space);
        QTest::keyClick(&b, Qt::Key_Return);
        QCOMPARE(clicks.count(), 0);
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(&b);
        QVERIFY(iface);
        QCOMPARE(iface->role(), QAccessible::Button);
        QCOMPARE(iface->text(QAccessible::Name), QStringLiteral("Yes"));
        QVERIFY(iface->actionInterface());
        iface->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QCOMPARE(clicks.count(), 1);
    }

    void paintsUnscaledFromTheCorner() {
        QWidget w;
        ImageButton b(&w, list, 1, 2, QStringLiteral("Yes"));
        b.setGeometry(0, 0, 78, 21); // one pixel smaller than the face: cut, not scaled
        const QImage shot = b.grab().toImage();
        const QImage face = list[0].toImage();
        QCOMPARE(shot.pixel(40, 10), face.pixel(40, 10));
        QCOMPARE(shot.pixel(77, 11), face.pixel(77, 11)); // scaled, the border would be here
    }
};

QTEST_MAIN(TestImageButton)
#include "test_image_button.moc"
