#include "frmSplash.h"

#include "Version.h"
#include "platform/Platform.h"
#include "ui/Artwork.h"
#include "ui/EmptyTitle.h"

#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

using namespace vigilorn;

namespace {

// Labels sit on the artwork: no background, the text in the artwork's dark green.
QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, const QFont& font,
                  Qt::Alignment align) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->setAccessibleName(text);
    l->setFont(font);
    l->setAlignment(align | Qt::AlignVCenter);
    l->setAutoFillBackground(false);
    l->setAttribute(Qt::WA_TranslucentBackground);
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, QColor(0x12, 0x3c, 0x14));
    l->setPalette(pal);
    return l;
}

} // namespace

frmSplash::frmSplash() {
    setObjectName(QStringLiteral("frmSplash"));
    // Kept above the main window, which start-up shows right after it.
    setWindowFlags(Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setWindowIcon(programIcon());
    keepEmptyTitle(this);
    setAccessibleName(QStringLiteral("Quillmere Vigilorn"));
    setFixedSize(405, 244);
    // A key press closes it once the user has given it the focus; showing it must not take the
    // focus from whatever the user is typing into at log-on.
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_ShowWithoutActivating);

    const QFont formFont = tahoma(8.25);
    lblLicenseTo =
        makeLabel(this, "lblLicenseTo",
                  QStringLiteral("Free software under the MIT licence - see Help for the terms"),
                  formFont, Qt::AlignHCenter);
    lblLicenseTo->setGeometry(16, 8, 377, 17);

    lblPlatform = makeLabel(this, "lblPlatform", QString::fromStdString(platformText()),
                            tahoma(15.75), Qt::AlignRight);
    lblPlatform->setGeometry(217, 152, 168, 25);

    // Right edge fixed at 385; the label grows leftwards to fit the whole text.
    const QFont versionFont = tahoma(12);
    lblVersion = makeLabel(this, "lblVersion", versionText(), versionFont, Qt::AlignRight);
    const int versionWidth =
        qMax(120, QFontMetrics(versionFont).horizontalAdvance(lblVersion->text()) + 8);
    lblVersion->setGeometry(385 - versionWidth, 176, versionWidth, 19);

    lblCopyright =
        makeLabel(this, "lblCopyright", QStringLiteral("Copyright (c) 2026 - All rights reserved"),
                  formFont, Qt::AlignRight);
    lblCopyright->setGeometry(152, 200, 241, 17);
    lblCompany =
        makeLabel(this, "lblCompany", QStringLiteral("Quillmere Computer Services and Software"),
                  formFont, Qt::AlignRight);
    lblCompany->setGeometry(152, 214, 241, 17);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setSingleShot(true);
    Timer1->setInterval(3500);
    connect(Timer1, &QTimer::timeout, this, [this] { unload(); });
}

void frmSplash::showOnce() {
    if (!s_shown)
        instance()->show();
}

bool frmSplash::hasBeenShown() {
    return s_shown;
}

void frmSplash::resetShownForTesting() {
    s_shown = false;
}

void frmSplash::setVisible(bool visible) {
    if (visible && s_shown && !m_ownShow) {
        // Shown before in this run: this instance goes without ever appearing.
        if (!isUnloading())
            unload();
        return;
    }
    if (visible) {
        s_shown = true;
        m_ownShow = true;
    }
    QWidget::setVisible(visible);
}

void frmSplash::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    centreOnScreen();
    if (!Timer1->isActive())
        Timer1->start();
}

void frmSplash::keyPressEvent(QKeyEvent* e) {
    // A character key: one that types something. Shift, Ctrl, Alt and the function keys alone
    // type nothing; Alt with a key is a menu shortcut, not a character.
    if (e->text().isEmpty() || (e->modifiers() & Qt::AltModifier)) {
        QWidget::keyPressEvent(e);
        return;
    }
    e->accept();
    unload();
}

void frmSplash::mousePressEvent(QMouseEvent* e) {
    // A click does nothing; only the timer or a key closes the splash.
    e->accept();
}

void frmSplash::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    paintGreenGradient(p, rect());

    // A light sweep behind the names.
    QLinearGradient sweep(0, 40, 0, 140);
    sweep.setColorAt(0, QColor(255, 255, 255, 0));
    sweep.setColorAt(0.5, QColor(255, 255, 255, 90));
    sweep.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(QRect(0, 40, width(), 100), sweep);

    QFont maker = tahoma(18);
    maker.setItalic(true);
    p.setFont(maker);
    p.setPen(QColor(0x24, 0x54, 0x24));
    p.drawText(QRect(120, 36, 265, 34), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Quillmere"));

    const QFont product = tahoma(36, true);
    p.setFont(product);
    const QRect productRect(118, 66, 275, 70);
    p.setPen(QColor(0, 0, 0, 70));
    p.drawText(productRect.translated(2, 2), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Vigilorn"));
    p.setPen(QColor(0x10, 0x44, 0x12));
    p.drawText(productRect, Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Vigilorn"));

    p.drawPixmap(24, 44, programIconPixmap(84));

    // A thin rule above the notices, and a frame, since the window has none of its own.
    p.setPen(QPen(QColor(0x2f, 0x5f, 0x2b), 1));
    p.drawLine(152, 197, 393, 197);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(QColor(0x1c, 0x3c, 0x1c), 1));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}
