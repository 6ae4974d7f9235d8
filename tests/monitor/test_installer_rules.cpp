// The package-manager rules against command lines as the package managers are really run.
#include "monitor/InstallerRules.h"

#include <QStringList>
#include <QTest>

using namespace vigilorn;

namespace {

std::vector<std::string> argv(const QString& cmdline) {
    std::vector<std::string> out;
    for (const QString& a : cmdline.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        out.push_back(a.toStdString());
    return out;
}

} // namespace

class TestInstallerRules : public QObject {
    Q_OBJECT
private slots:
    // name: the process name /proc reports; cmdline: its arguments, split on blanks.
    void commandLines_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("cmdline");
        QTest::addColumn<bool>("installs");
        auto row = [](const char* tag, const char* name, const char* cmdline, bool installs) {
            QTest::newRow(tag) << QString::fromUtf8(name) << QString::fromUtf8(cmdline) << installs;
        };
        // apt, apt-get, aptitude
        row("apt install", "apt", "apt install vlc", true);
        row("apt-get -y install ./x.deb", "apt-get", "/usr/bin/apt-get -y install ./x.deb", true);
        row("apt-get -o value before verb", "apt-get",
            "apt-get -o Dpkg::Options::=--force-confold upgrade", true);
        row("apt-get -o value that is a verb", "apt-get", "apt-get -o install show vlc", false);
        row("apt-get -t release install", "apt-get", "apt-get -t bookworm-backports install x",
            true);
        row("apt full-upgrade", "apt", "apt full-upgrade", true);
        row("apt dist-upgrade", "apt-get", "apt-get dist-upgrade", true);
        row("apt purge", "apt", "apt purge foo", true);
        row("apt remove", "apt", "apt remove foo", true);
        row("apt reinstall", "apt", "apt reinstall foo", true);
        row("apt autoremove", "apt-get", "apt-get autoremove", true);
        row("aptitude install", "aptitude", "aptitude install foo", true);
        row("aptitude safe-upgrade", "aptitude", "aptitude safe-upgrade", true);
        row("apt list --installed", "apt", "apt list --installed", false);
        row("apt search install", "apt", "apt search install", false);
        row("apt show", "apt", "apt show vlc", false);
        row("apt-get update", "apt-get", "apt-get update", false);
        row("apt-get download", "apt-get", "apt-get download vlc", false);
        row("apt-get -s alone", "apt-get", "apt-get -s", false);
        row("apt-cache show", "apt-cache", "apt-cache show install", false);
        row("apt-cache policy", "apt-cache", "apt-cache policy", false);
        // dpkg, also as apt runs it
        row("dpkg -i", "dpkg", "dpkg -i /srv/debs/x.deb", true);
        row("dpkg --install", "dpkg", "dpkg --install x.deb", true);
        row("dpkg -iR joined", "dpkg", "dpkg -iR /srv/debs", true);
        row("dpkg --force before -i", "dpkg", "dpkg --force-depends -i x.deb", true);
        row("dpkg from apt --unpack", "dpkg",
            "/usr/bin/dpkg --status-fd 23 --no-triggers --unpack --auto-deconfigure /var/x.deb",
            true);
        row("dpkg --configure --pending", "dpkg",
            "/usr/bin/dpkg --status-fd 23 --configure "
            "--pending",
            true);
        row("dpkg -r", "dpkg", "dpkg -r foo", true);
        row("dpkg -P", "dpkg", "dpkg -P foo", true);
        row("dpkg --purge", "dpkg", "dpkg --purge foo", true);
        row("dpkg -l", "dpkg", "dpkg -l", false);
        row("dpkg -L", "dpkg", "dpkg -L bash", false);
        row("dpkg -s", "dpkg", "dpkg -s bash", false);
        row("dpkg -S", "dpkg", "dpkg -S /bin/ls", false);
        row("dpkg --get-selections", "dpkg", "dpkg --get-selections", false);
        row("dpkg --print-architecture", "dpkg", "dpkg --print-architecture", false);
        row("dpkg -l of a package named -i", "dpkg", "dpkg -l -- -i", false);
        row("dpkg-query -W", "dpkg-query", "dpkg-query -W", false);
        // flatpak, snap
        row("flatpak install", "flatpak", "flatpak install flathub org.gimp.GIMP", true);
        row("flatpak --user install", "flatpak", "flatpak --user install org.gimp.GIMP", true);
        row("flatpak update", "flatpak", "flatpak update -y", true);
        row("flatpak uninstall", "flatpak", "flatpak uninstall org.gimp.GIMP", true);
        row("flatpak list", "flatpak", "flatpak list", false);
        row("flatpak run", "flatpak", "flatpak run org.gimp.GIMP", false);
        row("snap install --classic", "snap", "snap install --classic code", true);
        row("snap refresh", "snap", "snap refresh", true);
        row("snap remove", "snap", "snap remove code", true);
        row("snap list", "snap", "snap list", false);
        // pip and friends, as their scripts run under the interpreter
        row("pip script install", "pip", "/usr/bin/python3 /usr/bin/pip install requests", true);
        row("pip3 uninstall", "pip3", "/usr/bin/python3 /usr/bin/pip3 uninstall -y x", true);
        row("pip3.11 install", "pip3.11", "/usr/bin/python3.11 /usr/bin/pip3.11 install x", true);
        row("pip --proxy value", "pip", "python3 /usr/bin/pip --proxy install show x", false);
        row("pip show", "pip", "/usr/bin/python3 /usr/bin/pip show requests", false);
        row("pip list", "pip3", "/usr/bin/python3 /usr/bin/pip3 list", false);
        row("pip freeze", "pip", "/usr/bin/python3 /usr/bin/pip freeze", false);
        row("pipx install", "pipx", "/usr/bin/python3 /usr/bin/pipx install black", true);
        row("pipx list", "pipx", "/usr/bin/python3 /usr/bin/pipx list", false);
        row("python3 -m pip install", "python3", "python3 -m pip install x", true);
        row("python3.11 -m pip uninstall", "python3.11", "/usr/bin/python3.11 -m pip uninstall x",
            true);
        row("python3 -Im pip install", "python3", "python3 -Im pip install x", true);
        row("python3 -W value -m pip", "python3", "python3 -W ignore -m pip install x", true);
        row("python3 -m pip show", "python3", "python3 -m pip show x", false);
        row("python3 -m venv", "python3", "python3 -m venv install", false);
        row("python3 -c", "python3", "python3 -c import -m pip install", false);
        row("python3 a script", "python3", "python3 /srv/app.py install", false);
        // npm, only when global
        row("npm install -g", "node", "node /usr/bin/npm install -g typescript", true);
        row("npm i --global", "node", "node /usr/share/nodejs/npm/bin/npm-cli.js i --global x",
            true);
        row("npm uninstall -g", "npm", "node /usr/bin/npm uninstall -g x", true);
        row("npm --location=global", "npm", "npm install --location=global x", true);
        row("npm install local", "node", "node /usr/bin/npm install typescript", false);
        row("npm ls -g", "node", "node /usr/bin/npm ls -g", false);
        row("node server", "node", "node /srv/server.js install -g", false);
        row("node -e", "node", "node -e require('x') /usr/bin/npm install -g", false);
        // dnf, yum, zypper, pacman, rpm
        row("dnf install", "dnf", "/usr/bin/python3 /usr/bin/dnf install -y vim", true);
        row("dnf --setopt value", "dnf", "dnf --setopt keepcache=1 upgrade", true);
        row("dnf search", "dnf", "dnf search vim", false);
        row("yum remove", "yum", "yum remove vim", true);
        row("yum info", "yum", "yum info vim", false);
        row("zypper in", "zypper", "zypper --non-interactive in vim", true);
        row("zypper dup", "zypper", "zypper dup", true);
        row("zypper se", "zypper", "zypper se vim", false);
        row("pacman -S", "pacman", "pacman -S vim", true);
        row("pacman -Syu", "pacman", "pacman -Syu", true);
        row("pacman -Rns", "pacman", "pacman -Rns vim", true);
        row("pacman -U", "pacman", "pacman -U x.pkg.tar.zst", true);
        row("pacman -Ss", "pacman", "pacman -Ss vim", false);
        row("pacman -Si", "pacman", "pacman -Si vim", false);
        row("pacman -Qi", "pacman", "pacman -Qi vim", false);
        row("pacman --sync", "pacman", "pacman --sync vim", true);
        row("pacman --sync --search", "pacman", "pacman --sync --search vim", false);
        row("rpm -ivh", "rpm", "rpm -ivh x.rpm", true);
        row("rpm -Uvh", "rpm", "rpm -Uvh x.rpm", true);
        row("rpm -e", "rpm", "rpm -e vim", true);
        row("rpm --erase", "rpm", "rpm --erase vim", true);
        row("rpm -qi", "rpm", "rpm -qi vim", false);
        row("rpm -qa", "rpm", "rpm -qa", false);
        row("rpm -V", "rpm", "rpm -Va", false);
        // by their name alone
        row("gdebi", "gdebi", "/usr/bin/python3 /usr/bin/gdebi x.deb", true);
        row("gdebi-gtk", "gdebi-gtk", "", true);
        row("synaptic", "synaptic", "", true);
        row("unattended-upgrade, cut by the kernel", "unattended-upgr",
            "/usr/bin/python3 /usr/bin/unattended-upgrade", true);
        row("unattended-upgrade -d", "unattended-upgr",
            "/usr/bin/python3 -u /usr/bin/unattended-upgrade -d", true);
        row("unattended-upgrade started by its interpreter", "python3",
            "/usr/bin/python3 /usr/bin/unattended-upgrade", true);
        row("its shutdown helper, always running", "unattended-upgr",
            "/usr/bin/python3 /usr/share/unattended-upgrades/unattended-upgrade-shutdown "
            "--wait-for-signal",
            false);
        // what merely resembles them
        row("aptd", "aptd", "aptd install", false);
        row("snapd", "snapd", "/usr/lib/snapd/snapd install", false);
        row("apt.systemd.daily", "apt.systemd.dai",
            "/bin/sh /usr/lib/apt/apt.systemd.daily install", false);
        row("a version without a name", "3.11", "3.11 install", false);
        row("no verb at all", "apt-get", "apt-get", false);
        row("options only", "apt", "apt -y -q", false);
    }
    void commandLines() {
        QFETCH(QString, name);
        QFETCH(QString, cmdline);
        QFETCH(bool, installs);
        QCOMPARE(isPackageManagerRun(name.toStdString(), argv(cmdline)), installs);
        // The rules see the same answer through the full list, and the name rule does not
        // reach any of these names (so each row tests the package-manager rules).
        const InstallerRules rules;
        const auto args = argv(cmdline);
        QCOMPARE(rules.isInstaller(name.toStdString(), [&] { return std::optional(args); }),
                 installs);
        const InstallerRules nameOnly(false);
        QVERIFY(!nameOnly.isInstaller(name.toStdString(), [&] { return std::optional(args); }));
    }

    // A process that set its title keeps the whole command line in argv[0].
    void rewrittenTitle() {
        QVERIFY(isPackageManagerRun("npm install -g ", {"npm install -g typescript"}));
        QVERIFY(!isPackageManagerRun("npm install ", {"npm install typescript"}));
    }

    // Arguments are read only where the name needs them: a pass reads one small file per
    // package manager, not one per process.
    void argumentsAreReadOnlyWhenTheNameNeedsThem_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("read");
        QTest::addColumn<bool>("installs");
        QTest::newRow("bash") << "bash" << false << false;
        QTest::newRow("Xorg") << "Xorg" << false << false;
        QTest::newRow("the name rule first") << "setup.exe" << false << true;
        QTest::newRow("synaptic by name") << "synaptic" << false << true;
        QTest::newRow("apt") << "apt" << true << true;
        QTest::newRow("python3") << "python3" << true << false;
    }
    void argumentsAreReadOnlyWhenTheNameNeedsThem() {
        QFETCH(QString, name);
        QFETCH(bool, read);
        QFETCH(bool, installs);
        int reads = 0;
        const InstallerRules rules;
        const bool got = rules.isInstaller(name.toStdString(), [&] {
            ++reads;
            return std::optional(argv(name + QStringLiteral(" install x")));
        });
        QCOMPARE(reads, read ? 1 : 0);
        QCOMPARE(got, installs);
    }

    // Arguments that could not be read count as none: only the name-alone rules can hold.
    void unreadableArgumentsCountAsNone() {
        const InstallerRules rules;
        auto none = [] { return std::optional<std::vector<std::string>>(); };
        QVERIFY(!rules.isInstaller("apt-get", none));
        QVERIFY(!rules.isInstaller("dpkg", none));
        QVERIFY(rules.isInstaller("synaptic", none));
        QVERIFY(!rules.isInstaller("unattended-upgr", none));
        QVERIFY(rules.isInstaller("MySetupTool.exe", none));
        QVERIFY(!rules.isInstaller("apt-get", {}));
        QVERIFY(!isPackageManagerRun("dpkg", {}));
        QVERIFY(!isPackageManagerRun("dpkg", {""}));
    }

    void switchedOffKeepsTheNameRuleAlone() {
        const InstallerRules rules(false);
        int reads = 0;
        auto args = [&] {
            ++reads;
            return std::optional(argv(QStringLiteral("apt-get install x")));
        };
        QVERIFY(!rules.isInstaller("apt-get", args));
        QVERIFY(!rules.isInstaller("synaptic", args));
        QVERIFY(rules.isInstaller("setup.exe", args));
        QVERIFY(rules.isInstaller("msiexec.exe", args));
        QCOMPARE(reads, 0);
    }
};

QTEST_APPLESS_MAIN(TestInstallerRules)
#include "test_installer_rules.moc"
