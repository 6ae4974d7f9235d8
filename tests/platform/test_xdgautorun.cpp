// The autostart entry: where it goes, that its Exec= line runs exactly the program, failures.
#include "platform/Platform.h"
#include "platform/linux/XdgAutorun.h"

#include <QCoreApplication>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <optional>

using vigilorn::XdgAutorun;

namespace {

// Undoes the escapes of a desktop entry string value.
std::optional<std::string> unescapeValue(const std::string& v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\') {
            out += v[i];
            continue;
        }
        if (++i == v.size())
            return std::nullopt;
        switch (v[i]) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case '\\':
            out += '\\';
            break;
        default:
            return std::nullopt;
        }
    }
    return out;
}

// Splits an Exec command line into its arguments as a launcher does: quoting first, then
// field codes (only %% may appear, since no file or URL is passed).
std::optional<std::vector<std::string>> execArguments(const std::string& line) {
    std::vector<std::string> args;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] == ' ') {
            ++i;
            continue;
        }
        std::string arg;
        if (line[i] == '"') {
            ++i;
            bool closed = false;
            while (i < line.size()) {
                const char c = line[i++];
                if (c == '"') {
                    closed = true;
                    break;
                }
                if (c == '\\') {
                    if (i == line.size())
                        return std::nullopt;
                    const char n = line[i++];
                    if (n != '"' && n != '`' && n != '$' && n != '\\')
                        return std::nullopt;
                    arg += n;
                } else {
                    if (c == '`' || c == '$')
                        return std::nullopt; // must have been escaped
                    arg += c;
                }
            }
            if (!closed)
                return std::nullopt;
        } else {
            while (i < line.size() && line[i] != ' ')
                arg += line[i++];
        }
        std::string expanded;
        for (std::size_t k = 0; k < arg.size(); ++k) {
            if (arg[k] == '%') {
                if (k + 1 == arg.size() || arg[k + 1] != '%')
                    return std::nullopt;
                ++k;
            }
            expanded += arg[k];
        }
        args.push_back(expanded);
    }
    return args;
}

std::map<std::string, std::string> readEntry(const QString& path, QString* group = nullptr) {
    QFile f(path);
    std::map<std::string, std::string> keys;
    if (!f.open(QIODevice::ReadOnly))
        return keys;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith('[')) {
            if (group)
                *group = QString::fromUtf8(line);
            continue;
        }
        const int eq = line.indexOf('=');
        if (eq > 0)
            keys[line.left(eq).toStdString()] = line.mid(eq + 1).toStdString();
    }
    return keys;
}

} // namespace

class TestXdgAutorun : public QObject {
    Q_OBJECT

private slots:
    void init();
    void configDirIsFirstAbsoluteEntry_data();
    void configDirIsFirstAbsoluteEntry();
    void execRoundTrips_data();
    void execRoundTrips();
    void writesValidEntryInFirstFolder();
    void rewriteReplacesEntry();
    void failureReportsErrno();
    void readOnlyFolderWhenNotRoot();
    void removeDeletesAndIgnoresFailures();
    void removeReportsAllButAMissingEntry();
    void checkCommandNamesTheProblem_data();
    void checkCommandNamesTheProblem();
    void checkCommandRefusesWhatOthersCanReplace_data();
    void checkCommandRefusesWhatOthersCanReplace();
    void exePathIsTheRunningFile();

private:
    std::unique_ptr<QTemporaryDir> m_tmp;
};

void TestXdgAutorun::init() {
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    qputenv("XDG_CONFIG_DIRS", m_tmp->filePath(QStringLiteral("xdg1")).toLocal8Bit() + ':' +
                                   m_tmp->filePath(QStringLiteral("xdg2")).toLocal8Bit());
    QVERIFY(QDir(m_tmp->path()).mkpath(QStringLiteral("xdg1")));
    QVERIFY(QDir(m_tmp->path()).mkpath(QStringLiteral("xdg2")));
}

void TestXdgAutorun::configDirIsFirstAbsoluteEntry_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("unset");
    QTest::addColumn<QString>("dir");
    QTest::newRow("unset") << QByteArray() << true << QStringLiteral("/etc/xdg");
    QTest::newRow("empty") << QByteArray("") << false << QStringLiteral("/etc/xdg");
    QTest::newRow("one") << QByteArray("/opt/xdg") << false << QStringLiteral("/opt/xdg");
    QTest::newRow("first of two") << QByteArray("/a:/b") << false << QStringLiteral("/a");
    QTest::newRow("empty and relative skipped")
        << QByteArray("::rel/dir:/b") << false << QStringLiteral("/b");
    QTest::newRow("only relative") << QByteArray("rel") << false << QStringLiteral("/etc/xdg");
}

void TestXdgAutorun::configDirIsFirstAbsoluteEntry() {
    QFETCH(QByteArray, value);
    QFETCH(bool, unset);
    QFETCH(QString, dir);
    if (unset)
        qunsetenv("XDG_CONFIG_DIRS");
    else
        qputenv("XDG_CONFIG_DIRS", value);
    QCOMPARE(QString::fromStdString(XdgAutorun::configDir()), dir);
    QCOMPARE(QString::fromStdString(XdgAutorun::entryPath()),
             dir + QStringLiteral("/autostart/QMVigilorn.desktop"));
}

void TestXdgAutorun::execRoundTrips_data() {
    QTest::addColumn<QString>("program");
    QTest::newRow("plain") << QStringLiteral("/usr/bin/QMVigilornApp");
    QTest::newRow("spaces") << QStringLiteral("/opt/Quillmere Vigilorn/bin/QMVigilornApp");
    QTest::newRow("double quote") << QStringLiteral("/opt/say \"hi\"/QMVigilornApp");
    QTest::newRow("single quote") << QStringLiteral("/home/o'neil/QMVigilornApp");
    QTest::newRow("dollar") << QStringLiteral("/opt/$HOME/${PATH}/QMVigilornApp");
    QTest::newRow("backtick") << QStringLiteral("/opt/`id`/QMVigilornApp");
    QTest::newRow("backslash") << QStringLiteral("/opt/a\\b\\\\c/QMVigilornApp");
    QTest::newRow("percent") << QStringLiteral("/opt/100% %f %U/QMVigilornApp");
    QTest::newRow("shell characters") << QStringLiteral("/opt/a;b|c&d>e<f*?#~()/x");
    QTest::newRow("newline tab return") << QStringLiteral("/opt/a\nb\tc\rd/x");
    QTest::newRow("non-ascii") << QStringLiteral("/opt/Caf\u00E9 \u65E5\u672C/QMVigilornApp");
    QTest::newRow("everything") << QStringLiteral("/o p/\"$`\\%'\n/x");
}

void TestXdgAutorun::execRoundTrips() {
    QFETCH(QString, program);
    XdgAutorun autorun;
    QVERIFY(!autorun.write(program.toStdString()));
    const auto keys =
        readEntry(m_tmp->filePath(QStringLiteral("xdg1/autostart/QMVigilorn.desktop")));
    QVERIFY(keys.count("Exec"));
    const auto line = unescapeValue(keys.at("Exec"));
    QVERIFY(line);
    const auto args = execArguments(*line);
    QVERIFY2(args, keys.at("Exec").c_str());
    QCOMPARE(args->size(), std::size_t(1));
    QCOMPARE(QString::fromStdString(args->front()), program);
}

void TestXdgAutorun::writesValidEntryInFirstFolder() {
    XdgAutorun autorun;
    const QString program = QStringLiteral("/opt/Quillmere Vigilorn/QMVigilornApp");
    QVERIFY(!autorun.write(program.toStdString()));

    const QString path = m_tmp->filePath(QStringLiteral("xdg1/autostart/QMVigilorn.desktop"));
    QCOMPARE(QString::fromStdString(XdgAutorun::entryPath()), path);
    QString group;
    const auto keys = readEntry(path, &group);
    QCOMPARE(group, QStringLiteral("[Desktop Entry]"));
    QCOMPARE(keys.at("Type"), std::string("Application"));
    QCOMPARE(keys.at("Name"), std::string("Quillmere Vigilorn"));
    QCOMPARE(keys.at("Icon"), std::string("qmvigilorn"));
    QCOMPARE(keys.at("Terminal"), std::string("false"));
    QCOMPARE(keys.at("Exec"), std::string("\"/opt/Quillmere Vigilorn/QMVigilornApp\""));

    struct stat st {};
    QCOMPARE(::stat(path.toLocal8Bit().constData(), &st), 0);
    QCOMPARE(st.st_mode & 0777, mode_t(0644));
    // Only the entry: no temporary file left behind, nothing in the second folder.
    QCOMPARE(QDir(m_tmp->filePath(QStringLiteral("xdg1/autostart")))
                 .entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList{QStringLiteral("QMVigilorn.desktop")});
    QVERIFY(!QFileInfo::exists(m_tmp->filePath(QStringLiteral("xdg2/autostart"))));
}

void TestXdgAutorun::rewriteReplacesEntry() {
    XdgAutorun autorun;
    QVERIFY(!autorun.write("/first/QMVigilornApp"));
    QVERIFY(!autorun.write("/second/QMVigilornApp"));
    const auto keys = readEntry(QString::fromStdString(XdgAutorun::entryPath()));
    QCOMPARE(keys.at("Exec"), std::string("\"/second/QMVigilornApp\""));
}

void TestXdgAutorun::failureReportsErrno() {
    // A folder under a regular file cannot be made, whoever runs the test (root included).
    const QString file = m_tmp->filePath(QStringLiteral("plainfile"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    qputenv("XDG_CONFIG_DIRS", file.toLocal8Bit());
    XdgAutorun autorun;
    const auto err = autorun.write("/usr/bin/QMVigilornApp");
    QVERIFY(err);
    QCOMPARE(err->number, ENOTDIR);
    QCOMPARE(QString::fromStdString(err->description), QStringLiteral("Not a directory"));
}

void TestXdgAutorun::readOnlyFolderWhenNotRoot() {
    if (::geteuid() == 0)
        QSKIP("root writes into read-only folders; failureReportsErrno covers the failure path");
    const QString dir = m_tmp->filePath(QStringLiteral("xdg1/autostart"));
    QVERIFY(QDir().mkpath(dir));
    QVERIFY(QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    XdgAutorun autorun;
    const auto err = autorun.write("/usr/bin/QMVigilornApp");
    QFile::setPermissions(dir,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QVERIFY(err);
    QCOMPARE(err->number, EACCES);
    QCOMPARE(QString::fromStdString(err->description), QStringLiteral("Permission denied"));
}

void TestXdgAutorun::removeDeletesAndIgnoresFailures() {
    XdgAutorun autorun;
    autorun.remove(); // nothing there yet: nothing happens
    QVERIFY(!autorun.write("/usr/bin/QMVigilornApp"));
    const QString path = QString::fromStdString(XdgAutorun::entryPath());
    QVERIFY(QFileInfo::exists(path));
    autorun.remove();
    QVERIFY(!QFileInfo::exists(path));
    autorun.remove();
    qputenv("XDG_CONFIG_DIRS", "/nonexistent-folder-for-the-test");
    autorun.remove();
}

void TestXdgAutorun::checkCommandNamesTheProblem_data() {
    QTest::addColumn<QByteArray>("name"); // bytes of the file's name in the temporary folder
    QTest::addColumn<int>("mode");        // 0 = none made, -1 = a folder
    QTest::addColumn<int>("number");      // 0 = usable
    QTest::newRow("executable") << QByteArray("QMVigilornApp") << 0755 << 0;
    QTest::newRow("spaces and UTF-8") << QByteArray("Caf\xc3\xa9 bin") << 0700 << 0;
    QTest::newRow("percent") << QByteArray("100%") << 0755 << EINVAL;
    QTest::newRow("Latin-1 byte") << QByteArray("caf\xe9") << 0755 << EILSEQ;
    QTest::newRow("overlong slash") << QByteArray("a\xc0\xaf"
                                                  "b")
                                    << 0755 << EILSEQ;
    QTest::newRow("cut sequence") << QByteArray("a\xe6\x97") << 0755 << EILSEQ;
    QTest::newRow("missing") << QByteArray("gone") << 0 << ENOENT;
    QTest::newRow("folder") << QByteArray("dir") << -1 << EINVAL;
    QTest::newRow("not executable") << QByteArray("data") << 0644 << EACCES;
}

void TestXdgAutorun::checkCommandNamesTheProblem() {
    QFETCH(QByteArray, name);
    QFETCH(int, mode);
    QFETCH(int, number);
    const std::string path =
        QFile::encodeName(m_tmp->path()).toStdString() + "/" + name.toStdString();
    if (mode == -1) {
        QCOMPARE(::mkdir(path.c_str(), 0755), 0);
    } else if (mode > 0) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode_t(mode));
        QVERIFY(fd >= 0);
        ::close(fd);
        QCOMPARE(::chmod(path.c_str(), mode_t(mode)), 0);
    }
    // The test's own files stand in for root's.
    XdgAutorun autorun(::geteuid());
    const auto problem = autorun.checkCommand(path);
    if (number == 0) {
        QVERIFY2(!problem, problem ? problem->description.c_str() : "");
        return;
    }
    QVERIFY(problem);
    QCOMPARE(problem->number, number);
    QVERIFY2(problem->description.rfind("The program " + path + " ", 0) == 0,
             problem->description.c_str());
}

void TestXdgAutorun::checkCommandRefusesWhatOthersCanReplace_data() {
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<int>("fileMode");
    QTest::addColumn<bool>("foreignOwner");
    QTest::addColumn<QString>("named"); // the path the refusal names
    QTest::newRow("file writable by others") << 0755 << 0777 << false << "bin/QMVigilornApp";
    QTest::newRow("folder writable by its group") << 0775 << 0755 << false << "bin";
    QTest::newRow("file of another user") << 0755 << 0755 << true << "bin/QMVigilornApp";
}

void TestXdgAutorun::checkCommandRefusesWhatOthersCanReplace() {
    QFETCH(int, folderMode);
    QFETCH(int, fileMode);
    QFETCH(bool, foreignOwner);
    QFETCH(QString, named);
    const QString folder = m_tmp->filePath(QStringLiteral("bin"));
    const QString program = folder + QStringLiteral("/QMVigilornApp");
    QVERIFY(QDir().mkpath(folder));
    QFile file(program);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QCOMPARE(::chmod(QFile::encodeName(program).constData(), mode_t(fileMode)), 0);
    QCOMPARE(::chmod(QFile::encodeName(folder).constData(), mode_t(folderMode)), 0);
    // Everything else here is the test's own, and stands in for root's.
    XdgAutorun autorun(foreignOwner ? 0 : ::geteuid());
    if (foreignOwner && ::geteuid() == 0)
        QCOMPARE(::chown(QFile::encodeName(program).constData(), 65534, 65534), 0);
    const auto problem = autorun.checkCommand(program.toStdString());
    QVERIFY(problem);
    QCOMPARE(problem->number, EPERM);
    const std::string expected =
        "The program " + program.toStdString() +
        " cannot be started at log-on for every user: " + m_tmp->filePath(named).toStdString() +
        " can be changed by a user other than root.";
    QCOMPARE(problem->description, expected);
}

void TestXdgAutorun::removeReportsAllButAMissingEntry() {
    XdgAutorun autorun;
    QVERIFY(!autorun.remove());
    QVERIFY(QDir().mkpath(QString::fromStdString(XdgAutorun::entryPath()) + "/inside"));
    const auto failure = autorun.remove();
    QVERIFY(failure);
    QCOMPARE(failure->number, EISDIR);
    QCOMPARE(failure->description,
             "Could not remove " + XdgAutorun::entryPath() + ": Is a directory");
}

void TestXdgAutorun::exePathIsTheRunningFile() {
    // The arguments are only a fallback: not the base name with its last suffix cut.
    const QString running = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    QCOMPARE(QString::fromStdString(vigilorn::makeExePath("/nowhere", "test_xdgautorun")), running);
}

QTEST_GUILESS_MAIN(TestXdgAutorun)
#include "test_xdgautorun.moc"
