#include "ui/MessageBox.h"

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QTimer>

using namespace vigilorn;

class TestMessageBox : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { MessageBox::setTestMode(false); }

    // A real box, read while it waits, then answered.
    void outsideTextIsShownAsItIs_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("font tag in a process name")
            << QStringLiteral("Are you sure you want to Kill the Process: "
                              "setupXXXXXXXXXX<font color=#efefef>?\r\nThis can cause "
                              "un-desirable results!");
        QTest::newRow("whole document")
            << QStringLiteral("<html><body><b>bold</b> &amp; <a href=\"x\">link</a></body></html>");
        QTest::newRow("entity") << QStringLiteral("Description: a &lt; b");
    }
    void outsideTextIsShownAsItIs() {
        QFETCH(QString, text);
        Qt::TextFormat format = Qt::RichText;
        QString shown;
        bool seen = false;
        QTimer poll;
        poll.setInterval(20);
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
            if (label) {
                format = label->textFormat();
                shown = label->text();
            }
            seen = true;
            box->done(QMessageBox::Ok);
        });
        poll.start();
        QTimer deadline;
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, this, [] {
            if (auto* w = QApplication::activeModalWidget())
                w->close();
        });
        deadline.start(60000);
        const auto answer =
            MessageBox::show(nullptr, QMessageBox::Question, QStringLiteral("Kill Process?"), text,
                             QMessageBox::Ok | QMessageBox::Cancel);
        QVERIFY(seen);
        QCOMPARE(answer, QMessageBox::Ok);
        QCOMPARE(format, Qt::PlainText);
        QCOMPARE(shown, text);
    }
};

QTEST_MAIN(TestMessageBox)
#include "test_message_box.moc"
