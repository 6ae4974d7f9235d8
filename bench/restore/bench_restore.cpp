// One built-in restore point of a generated folder (5,000 files, 50 MB), first and again
// unchanged, against `git add -A && git commit` of the same folder by the git program.
#include "platform/linux/BuiltinStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
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
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("GIT_CONFIG_NOSYSTEM", "1");
    env.insert("GIT_CONFIG_GLOBAL", "/dev/null");
    QElapsedTimer t;
    t.start();
    for (const QStringList& args : commands) {
        QProcess git;
        git.setProcessEnvironment(env);
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

    BuiltinStore::Options options;
    options.repository = (dir.path() + "/store.git").toStdString();
    options.source = source.toStdString();
    options.displayName = "bench";
    BuiltinStore store(options);
    const double ourFirst = timeCreate(store, "first");
    const double ourUnchanged = timeCreate(store, "unchanged");

    const QString gitDir = dir.path() + "/cli.git";
    if (runGit(gitDir, source, {{"init", "-q"}}) < 0)
        return 2;
    const double gitFirst =
        runGit(gitDir, source, {{"add", "-A"}, {"commit", "-q", "-m", "first"}});
    const double gitUnchanged = runGit(
        gitDir, source, {{"add", "-A"}, {"commit", "-q", "--allow-empty", "-m", "unchanged"}});
    if (ourFirst < 0 || ourUnchanged < 0 || gitFirst < 0 || gitUnchanged < 0)
        return 2;

    std::printf("%-28s %10s %10s %8s\n", "", "built-in", "git CLI", "ratio");
    std::printf("%-28s %9.3fs %9.3fs %8.2f\n", "first restore point", ourFirst, gitFirst,
                ourFirst / gitFirst);
    std::printf("%-28s %9.3fs %9.3fs %8.2f\n", "unchanged restore point", ourUnchanged,
                gitUnchanged, ourUnchanged / gitUnchanged);
    const bool met = ourUnchanged < 0.3 && ourFirst <= gitFirst && ourUnchanged <= gitUnchanged;
    std::printf("target (unchanged < 0.3 s, neither slower than git): %s\n",
                met ? "met" : "MISSED");
    return met ? 0 : 1;
}
