// Refreshing the process grid (ListProcesses) against `ps -e -o comm=,user=,pid=` listing the
// same processes in the same run.
#include "app/Module1.h"
#include "mainwin/frmMain.h"
#include "platform/linux/ProcProcessSource.h"
#include "ui/MessageBox.h"

#include <QApplication>
#include <QProcess>
#include <QTableWidget>

#include "IdleProcesses.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

template <class F> double ms(F&& f) {
    const auto t0 = Clock::now();
    f();
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

} // namespace

int main(int argc, char** argv) {
    // Children are forked before Qt starts any thread.
    std::vector<int> sizes = {1000, 5000};
    const int rounds = 11;
    std::vector<pid_t> pids = startIdleProcesses(sizes[0]);

    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    vigilorn::MessageBox::setTestMode(true);
    vigilorn::ProcProcessSource src;
    Module1::services.processes = &src;
    frmMain* m = frmMain::instance();
    m->show();

    for (std::size_t i = 0; i < sizes.size(); ++i) {
        if (i > 0) {
            // More processes: forking from a Qt program is fine for children that only pause.
            auto more = startIdleProcesses(sizes[i] - sizes[i - 1]);
            pids.insert(pids.end(), more.begin(), more.end());
        }
        usleep(300000);
        std::vector<double> grid, ps;
        for (int r = 0; r < rounds; ++r) {
            grid.push_back(ms([&] {
                m->ListProcesses();
                QCoreApplication::processEvents(); // include the repaint the user waits for
            }));
            ps.push_back(ms([&] {
                QProcess p;
                p.setStandardOutputFile(QProcess::nullDevice());
                p.start(QStringLiteral("ps"), {QStringLiteral("-e"), QStringLiteral("-o"),
                                               QStringLiteral("comm=,user=,pid=")});
                p.waitForFinished(-1);
            }));
        }
        const double g = medianOf(grid), p = medianOf(ps);
        std::printf("%d idle started, %d rows: ListProcesses %.1f ms, ps %.1f ms, ratio %.2f "
                    "(target <= 1.00)\n",
                    sizes[i], m->MSFlexGrid1()->rowCount(), g, p, g / p);
    }
    delete m;
    stopIdleProcesses(pids);
    return 0;
}
