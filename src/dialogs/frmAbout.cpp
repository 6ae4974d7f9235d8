#include "frmAbout.h"

#include "Version.h"
#include "app/Module1.h"
#include "platform/RestoreEngine.h"
#include "platform/SysInfoLauncher.h"
#include "ui/Artwork.h"
#include "ui/EmptyTitle.h"
#include "ui/ErrorReport.h"
#include "ui/ImageButton.h"
#include "ui/MessageBox.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QUrl>

#include <exception>

using namespace vigilorn;

namespace {

// The etched line: a grey row over a white one.
class EtchedLine : public QWidget {
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setPen(QColor(128, 128, 128));
        p.drawLine(0, 0, width() - 1, 0);
        p.setPen(Qt::white);
        p.drawLine(0, 1, width() - 1, 1);
    }
};

// A push button that is all picture: its released and pressed faces fill it, and the focus
// shows as a dotted frame. Keyboard, default-button and screen reader handling stay
// QPushButton's.
class PictureButton : public QPushButton {
public:
    PictureButton(QWidget* parent, QPixmap released, QPixmap pressed)
        : QPushButton(parent), m_released(std::move(released)), m_pressed(std::move(pressed)) {}

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.drawPixmap(0, 0, isDown() ? m_pressed : m_released);
        if (isDefault()) {
            p.setPen(QColor(0x10, 0x2a, 0x10));
            p.drawRect(rect().adjusted(0, 0, -1, -1));
        }
        if (hasFocus()) {
            p.setPen(QPen(QColor(0x10, 0x2a, 0x10), 1, Qt::DotLine));
            p.drawRect(rect().adjusted(3, 3, -4, -4));
        }
    }

private:
    QPixmap m_released;
    QPixmap m_pressed;
};

// "Visit www.quillmere.com" with a small globe, on the green button face.
QPixmap webSitePicture(const QString& site, QSize size, bool pressed) {
    QPixmap pm = paintButtonFace(QString(), size, pressed);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF globe(5, (size.height() - 14) / 2.0, 14, 14);
    p.setPen(QPen(QColor(0x10, 0x2a, 0x10), 1.2));
    p.setBrush(QColor(0xd6, 0xee, 0xd0));
    p.drawEllipse(globe);
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(globe.adjusted(4, 0, -4, 0));
    p.drawLine(QPointF(globe.left(), globe.center().y()),
               QPointF(globe.right(), globe.center().y()));
    QFont f = tahoma(8, true);
    f.setUnderline(true);
    p.setFont(f);
    p.setPen(QColor(0x10, 0x2a, 0x10));
    p.drawText(QRect(22, 0, size.width() - 24, size.height()), Qt::AlignCenter,
               QStringLiteral("Visit ") + site);
    return pm;
}

QPushButton* pictureButton(QWidget* parent, const char* name, const QString& accessibleName,
                           const QPixmap& released, const QPixmap& pressed, const QRect& geometry) {
    auto* b = new PictureButton(parent, released, pressed);
    b->setObjectName(QString::fromLatin1(name));
    b->setAccessibleName(accessibleName);
    b->setToolTip(accessibleName);
    b->setGeometry(geometry);
    return b;
}

QPushButton* labelButton(QWidget* parent, const char* name, const QString& label,
                         const QRect& geometry) {
    return pictureButton(parent, name, label, paintButtonFace(label, geometry.size(), false),
                         paintButtonFace(label, geometry.size(), true), geometry);
}

const QString kProgramName = QStringLiteral("Quillmere Vigilorn");

} // namespace

frmAbout::frmAbout() {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QString());
    keepEmptyTitle(this);
    setAccessibleName(QStringLiteral("About Quillmere Vigilorn"));
    setWindowIcon(programIcon());
    setFixedSize(313, 258);

    picIcon = new QLabel(this);
    picIcon->setObjectName(QStringLiteral("picIcon"));
    picIcon->setAccessibleName(QStringLiteral("Program icon"));
    picIcon->setGeometry(16, 16, 20, 20);
    picIcon->setPixmap(programIconPixmap(20));

    auto label = [this](const char* name, const QString& text, const QRect& g, const QFont& f) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QString::fromLatin1(name));
        l->setAccessibleName(text);
        l->setGeometry(g);
        l->setFont(f);
        l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        l->setWordWrap(true);
        return l;
    };
    lblTitle = label("lblTitle", kProgramName, QRect(46, 16, 259, 32), tahoma(14, true));
    lblVersion = label("lblVersion", versionText(), QRect(46, 52, 259, 15), tahoma(8.25));
    lblDescription = label("lblDescription",
                           QStringLiteral("Monitors your system for Installs and SetUps and "
                                          "reminds you to create a System Restore Point"),
                           QRect(46, 75, 259, 78), tahoma(8.25));

    const QSize webSize(177, 23);
    Command1 = pictureButton(this, "Command1", QStringLiteral("Visit the Quillmere web site"),
                             webSitePicture(Module1::services.vendorSite, webSize, false),
                             webSitePicture(Module1::services.vendorSite, webSize, true),
                             QRect(QPoint(72, 136), webSize));
    connect(Command1, &QPushButton::clicked, this, &frmAbout::Command1_Click);

    Line1 = new EtchedLine(this);
    Line1->setObjectName(QStringLiteral("Line1"));
    Line1->setAccessibleName(QStringLiteral("Separator"));
    Line1->setGeometry(6, 163, 299, 2);

    lblDisclaimer =
        label("lblDisclaimer",
              QStringLiteral("Warning: this program is protected by copyright law. It is provided "
                             "\"as is\", without warranty of any kind, and you use it at your own "
                             "risk. See Help for the licence."),
              QRect(9, 175, 194, 71), tahoma(7));

    QString engine;
    if (auto* r = Module1::services.restore)
        engine = QStringLiteral("Restore points: ") + QString::fromStdString(r->displayName());
    lblEngine = label("lblEngine", engine, QRect(9, 246, 299, 12), tahoma(6.75));
    lblEngine->setWordWrap(false);
    lblEngine->setToolTip(engine);

    cmdOK = labelButton(this, "cmdOK", QStringLiteral("Ok"), QRect(208, 175, 101, 23));
    // Enter and Escape both press it.
    cmdOK->setDefault(true);
    cmdOK->setAutoDefault(true);
    connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);

    cmdSysInfo =
        labelButton(this, "cmdSysInfo", QStringLiteral("System Info"), QRect(208, 205, 101, 23));
    cmdSysInfo->setAutoDefault(false);
    connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::StartSysInfo);
    Command1->setAutoDefault(false);

    setTabOrder(cmdOK, cmdSysInfo);
    setTabOrder(cmdSysInfo, Command1);
    cmdOK->setFocus();
}

void frmAbout::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    centreOnScreen();
}

void frmAbout::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), kPanelGreen);
}

void frmAbout::reject() {
    cmdOK->click();
}

void frmAbout::cmdOK_Click() {
    unload();
}

void frmAbout::Command1_Click() {
    HandlerScope scope(this);
    guarded(
        [] {
            const auto& s = Module1::services;
            if (!s.openUrl || !s.openUrl(QUrl(s.vendorUrl)))
                throw RuntimeError(ErrorNumber::CantPerformOperation);
        },
        this);
}

void frmAbout::StartSysInfo() {
    HandlerScope scope(this);
    // Every failure ends in the same message, never in the error report.
    auto launch = [] {
        SysInfoLauncher* tool = Module1::services.sysInfo;
        if (!tool)
            return false;
        std::string path;
        if (!tool->lookupToolPath(path)) {
            std::string folder;
            if (!tool->lookupToolFolder(folder))
                return false;
            path = tool->toolInFolder(folder);
            if (!tool->isRegularFile(path))
                return false;
        }
        return tool->start(path);
    };
    bool started = false;
    try {
        started = launch();
    } catch (const std::exception&) {
        started = false;
    }
    if (!started)
        MessageBox::show(this, QMessageBox::NoIcon, kProgramName,
                         QStringLiteral("System Information Is Unavailable At This Time"),
                         QMessageBox::Ok);
}
