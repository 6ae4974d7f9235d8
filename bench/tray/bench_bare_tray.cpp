// The baseline for the program's memory: a bare Qt window with a tray icon and nothing else.
// Run it on the same desktop as the program and compare the peak RSS (VmHWM in
// /proc/PID/status) of the two. Usage: bench_bare_tray [seconds = 30]
#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include <cstdlib>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare"));
    window.resize(554, 236);
    window.show();
    QPixmap pix(32, 32);
    pix.fill(Qt::transparent);
    {
        QPainter p(&pix);
        p.setBrush(Qt::green);
        p.drawEllipse(2, 2, 28, 28);
    }
    QSystemTrayIcon tray{QIcon(pix)};
    tray.show();
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    return app.exec();
}
