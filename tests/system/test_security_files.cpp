// Which files of a point a restore names before it changes them.
#include "system/SecurityFiles.h"

#include <QTest>

using vigilorn::sys::securityRelevant;

class TestSecurityFiles : public QObject {
    Q_OBJECT

private slots:
    void named_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("relevant");
        QTest::newRow("shadow") << "etc/shadow" << true;
        QTest::newRow("its backup") << "etc/shadow-" << true;
        QTest::newRow("gshadow") << "etc/gshadow" << true;
        QTest::newRow("a sudoers drop-in") << "etc/sudoers.d/admins" << true;
        QTest::newRow("sshd's key") << "etc/ssh/ssh_host_ed25519_key" << true;
        QTest::newRow("the ssh folder") << "etc/ssh" << true;
        QTest::newRow("a pam service") << "etc/pam.d/common-auth" << true;
        QTest::newRow("a polkit rule") << "etc/polkit-1/rules.d/50-x.rules" << true;
        QTest::newRow("APT's key") << "etc/apt/trusted.gpg.d/debian.asc" << true;
        QTest::newRow("APT's sources") << "etc/apt/sources.list.d/x.sources" << true;
        QTest::newRow("a daily cron job") << "etc/cron.daily/logrotate" << true;
        QTest::newRow("APT's other settings") << "etc/apt/listchanges.conf" << false;
        QTest::newRow("a name only starting like a folder") << "etc/sshd-notes" << false;
        QTest::newRow("a folder only starting like one") << "etc/polkit-1x/y" << false;
        QTest::newRow("a file of the same name deeper") << "etc/default/passwd" << false;
        QTest::newRow("hostname") << "etc/hostname" << false;
        QTest::newRow("outside etc") << "shadow" << false;
        QTest::newRow("etc itself") << "etc" << false;
    }
    void named() {
        QFETCH(QString, path);
        QFETCH(bool, relevant);
        QCOMPARE(securityRelevant(path.toStdString()), relevant);
    }
};

QTEST_APPLESS_MAIN(TestSecurityFiles)
#include "test_security_files.moc"
