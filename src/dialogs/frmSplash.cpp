#include "frmSplash.h"

#include <QTimer>

frmSplash::frmSplash() {
    setObjectName(QStringLiteral("frmSplash"));
    setWindowFlags(Qt::SplashScreen | Qt::FramelessWindowHint);
    setFixedSize(405, 244);
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setSingleShot(true);
    Timer1->setInterval(3500);
    connect(Timer1, &QTimer::timeout, this, [this] { unload(); });
    Timer1->start();
}

void frmSplash::keyPressEvent(QKeyEvent*) {
    unload();
}
