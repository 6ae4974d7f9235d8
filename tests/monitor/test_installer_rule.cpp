#include "monitor/InstallerRule.h"

#include <QTest>

using namespace vigilorn;

class TestInstallerRule : public QObject {
    Q_OBJECT
private slots:
    void rule_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("installer");
        QTest::newRow("Setup.exe") << "Setup.exe" << true;
        QTest::newRow("INSTALLER.EXE") << "INSTALLER.EXE" << true;
        QTest::newRow("msiexec.exe") << "msiexec.exe" << true;
        QTest::newRow("uninstall.exe") << "uninstall.exe" << true;
        QTest::newRow("MySetupTool.exe") << "MySetupTool.exe" << true;
        QTest::newRow("msimn.exe") << "msimn.exe" << true;
        QTest::newRow("ends in msi") << "package.MSI" << true;
        QTest::newRow("apt-get") << "apt-get" << false;
        QTest::newRow("setu") << "setu" << false;
        QTest::newRow("instal alone") << "instal" << true;
        QTest::newRow("split by a dot") << "set.up" << false;
        QTest::newRow("mis") << "mis" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("non-ASCII around") << QString::fromUtf8("ÜberSetup") << true;
        QTest::newRow("non-ASCII no match") << QString::fromUtf8("Überwacher") << false;
        QTest::newRow("dpkg") << "dpkg" << false;
    }
    void rule() {
        QFETCH(QString, name);
        QFETCH(bool, installer);
        QCOMPARE(isInstallerName(name), installer);
        // The byte-level form used on every tick must agree with the text form.
        QCOMPARE(isInstallerName(name.toStdString()), installer);
    }

    void invalidUtf8NamesAreStillTested() {
        QVERIFY(isInstallerName(std::string("\xff\xfeSETUP")));
        QVERIFY(!isInstallerName(std::string("\xff\xfe")));
    }

    void reminderTextIsExact() {
        QCOMPARE(reminderText(QStringLiteral("setup.exe")),
                 QStringLiteral("A new Installation has started.\r\n\r\nProcess Name is: setup.exe."
                                "\r\n\r\nHave you created a Restore Point?"));
        QCOMPARE(secondMessageText(),
                 QStringLiteral("Click Create Restore Point, or STOP the installation and create a "
                                "Restore Point.\r\n\r\nThen re-start the installaion."));
    }
};

QTEST_APPLESS_MAIN(TestInstallerRule)
#include "test_installer_rule.moc"
