// One built-in restore point of the real /etc, the real dpkg status file and a generated
// configuration folder (5,000 files, 50 MB), first and again unchanged, against
// `git add -A && git commit` of the same three by the git program.
#include "store/BuiltinStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <QDateTime>
#include <QThread>

#include <cstdio>
#include <cstring>
#include <random>

using namespace vigilorn;

namespace {

constexpr int kFiles = 5000;
constexpr int kFileSize = 10000; // 5,000 x 10,000 = 50 MB
constexpr int kPerFolder = 100;

bool generate(const QString& root) {
    std::mt19937 random(20240607);
    QByteArray block(kFileSize, '\0');
    for (int i = 0; i < kFiles; ++i) {
        const QString folder = QString("%1/app%2").arg(root).arg(i / kPerFolder, 2, 10, QChar('0'));
        if (i % kPerFolder == 0 && !QDir().mkpath(folder))
            return false;
        // Half text-like, half random bytes: settings files and caches.
        for (int j = 0; j < kFileSize; j += 4) {
            const auto r = random();
            if (i % 2 == 0)
                std::memcpy(block.data() + j, &r, 4);
            else
                for (int k = 0; k < 4; ++k)
                    block[j + k] = char('a' + (r >> (k * 8)) % 26);
        }
        QFile f(QString("%1/file%2.conf").arg(folder).arg(i));
        if (!f.open(QIODevice::WriteOnly) || f.write(block) != block.size())
            return false;
    }
    return true;
}

// Seconds the git program takes for each command, run one after the other; -1 on failure.
double runGit(const QString& gitDir, const QString& workTree, const QList<QStringList>& commands) {
    // The work tree is /, so that /etc, the status file and the folder are one tree.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("GIT_CONFIG_NOSYSTEM", "1");
    env.insert("GIT_CONFIG_GLOBAL", "/dev/null");
    QElapsedTimer t;
    t.start();
    for (const QStringList& args : commands) {
        QProcess git;
        git.setProcessEnvironment(env);
        git.setWorkingDirectory(workTree);
        git.start("git", QStringList{"--git-dir=" + gitDir, "--work-tree=" + workTree, "-c",
                                     "user.name=bench", "-c", "user.email=bench@localhost"} +
                             args);
        if (!git.waitForFinished(300000) || git.exitStatus() != QProcess::NormalExit ||
            git.exitCode() != 0) {
            std::fprintf(stderr, "git %s failed: %s\n", qPrintable(args.join(' ')),
                         git.readAllStandardError().constData());
            return -1;
        }
    }
    return t.nsecsElapsed() / 1e9;
}

double timeCreate(BuiltinStore& store, const char* description) {
    QElapsedTimer t;
    t.start();
    if (const Failure f = store.createRestorePoint(description, 12, 100)) {
        std::fprintf(stderr, "restore point failed: %d %s\n", f->number, f->description.c_str());
        return -1;
    }
    return t.nsecsElapsed() / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 2;
    const QString source = dir.path() + "/config";
    std::printf("generating %d files, %d MB in %s ...\n", kFiles, kFiles * kFileSize / 1000000,
                qPrintable(source));
    if (!generate(source))
        return 2;

    // Files changed within the last second are always read again (their time stamps can't
    // tell a later change apart); let the generated ones age as a real folder's have.
    const qint64 generated = QDateTime::currentSecsSinceEpoch();
    while (QDateTime::currentSecsSinceEpoch() <= generated + 1)
        QThread::msleep(100);

    BuiltinStore::Options options;
    options.repository = (dir.path() + "/store.git").toStdString();
    options.source = source.toStdString();
    options.displayName = "bench";
    BuiltinStore store(options);
    std::printf("sources: %s, %s and the generated folder\n", options.etc.c_str(),
                options.dpkgStatus.c_str());
    const double ourFirst = timeCreate(store, "first");
    const double ourUnchanged = timeCreate(store, "unchanged");

    const QString gitDir = dir.path() + "/cli.git";
    if (runGit(gitDir, "/", {{"init", "-q"}}) < 0)
        return 2;
    const QStringList paths = {"--", QString::fromStdString(options.etc).mid(1),
                               QString::fromStdString(options.dpkgStatus).mid(1), source.mid(1)};
    const double gitFirst =
        runGit(gitDir, "/", {QStringList{"add", "-A"} + paths, {"commit", "-q", "-m", "first"}});
    const double gitUnchanged = runGit(
        gitDir, "/",
        {QStringList{"add", "-A"} + paths, {"commit", "-q", "--allow-empty", "-m", "unchanged"}});
    if (ourFirst < 0 || ourUnchanged < 0 || gitFirst < 0 || gitUnchanged < 0)
        return 2;

    std::printf("%-28s %10s %10s %8s\n", "", "built-in", "git CLI", "ratio");
    std::printf("%-28s %9.3fs %9.3fs %8.2f\n", "first restore point", ourFirst, gitFirst,
                ourFirst / gitFirst);
    std::printf("%-28s %9.3fs %9.3fs %8.2f\n", "unchanged restore point", ourUnchanged,
                gitUnchanged, ourUnchanged / gitUnchanged);
    std::size_t leftOut = store.leftOutOfNewest();
    std::printf("left out of the newest point: %zu\n", leftOut);
    const bool met = ourUnchanged <= 0.3;
    std::printf("target (unchanged within 0.3 s): %s\n", met ? "met" : "MISSED");
    return met ? 0 : 1;
}
