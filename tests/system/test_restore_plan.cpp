// What a restore puts back and how it asks apt-get, as an ordinary user: the plan from a
// point's package list and dpkg's status now, and apt-get's arguments for it.
#include "platform/RestoreProtocol.h"
#include "store/DebianPackages.h"
#include "system/RestorePlan.h"
#include "system/debian/Apt.h"

#include <QStringList>
#include <QTest>

#include <algorithm>

using namespace vigilorn::sys;

namespace {

std::string stanza(const char* name, const char* arch, const char* version, const char* status) {
    return std::string("Package: ") + name + "\nStatus: " + status + "\nArchitecture: " + arch +
           "\nVersion: " + version + "\nDescription: x\n more\n\n";
}

QString render(const PackagePlan& plan) {
    QStringList out;
    auto add = [&](const char* what, const std::vector<PackageTarget>& list) {
        for (const auto& t : list)
            out << QString::fromStdString(std::string(what) + ' ' + t.name + ':' + t.arch + '=' +
                                          t.version + (t.from.empty() ? "" : " from " + t.from));
    };
    add("install", plan.install);
    add("remove", plan.remove);
    add("missing", plan.missing);
    return out.join(u';');
}

} // namespace

class TestRestorePlan : public QObject {
    Q_OBJECT

private slots:
    void plan_data() {
        QTest::addColumn<QByteArray>("then"); // the point's list, one package
        QTest::addColumn<QByteArray>("now");  // dpkg's status of the same package, or empty
        QTest::addColumn<QString>("plan");
        const QByteArray p1 = "p\tamd64\t1.0\tinstall ok installed\n";
        QTest::newRow("unchanged") << p1 << QByteArray("1.0/install ok installed") << "";
        QTest::newRow("upgraded since, kept")
            << p1 << QByteArray("2.0/install ok installed") << "install p:amd64=1.0 from /pool/p";
        QTest::newRow("upgraded since, in the archive")
            << QByteArray("q\tamd64\t1.0\tinstall ok installed\n")
            << QByteArray("2.0/install ok installed") << "install q:amd64=1.0;remove p:amd64=2.0";
        QTest::newRow("removed since, nowhere")
            << QByteArray("r\tamd64\t1.0\tinstall ok installed\n") << QByteArray()
            << "missing r:amd64=1.0";
        QTest::newRow("installed since")
            << QByteArray() << QByteArray("2.0/install ok installed") << "remove p:amd64=2.0";
        QTest::newRow("half-installed now is not installed")
            << p1 << QByteArray("1.0/install ok half-installed")
            << "install p:amd64=1.0 from /pool/p";
        QTest::newRow("config-files then was not installed")
            << QByteArray("p\tamd64\t1.0\tdeinstall ok config-files\n") << QByteArray() << "";
    }
    void plan() {
        QFETCH(QByteArray, then);
        QFETCH(QByteArray, now);
        QFETCH(QString, plan);
        std::string status;
        if (!now.isEmpty()) {
            const auto parts = now.split('/');
            status = stanza("p", "amd64", parts[0].constData(), parts[1].constData());
        }
        status += stanza("other", "all", "1", "install ok installed");
        const std::string list = then.toStdString() + "other\tall\t1\tinstall ok installed\n";
        auto versions = [](const vigilorn::debian::PackageList& packages) {
            InstalledVersions out;
            for (const auto& [key, p] : packages)
                out.emplace(key, p.version);
            return out;
        };
        const PackagePlan got = planPackages(
            versions(vigilorn::debian::parseStoredList(list)),
            versions(vigilorn::debian::parseStatusFile(status)),
            [](const PackageTarget& t) -> std::optional<std::string> {
                if (t.name == "p")
                    return "/pool/" + t.name;
                return std::nullopt;
            },
            [](const std::vector<PackageTarget>& targets) {
                std::vector<bool> found;
                for (const auto& t : targets)
                    found.push_back(t.name == "q");
                return found;
            });
        QCOMPARE(render(got), plan);
    }

    void aptArguments_data() {
        QTest::addColumn<QString>("arch");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("installed");
        QTest::addColumn<QString>("removed");
        QTest::newRow("native") << "amd64"
                                << ""
                                << "p=1:1.0-1"
                                << "q-";
        QTest::newRow("all") << "all"
                             << ""
                             << "p=1:1.0-1"
                             << "q-";
        QTest::newRow("foreign") << "i386"
                                 << ""
                                 << "p:i386=1:1.0-1"
                                 << "q:i386-";
        QTest::newRow("kept file") << "amd64"
                                   << "/var/lib/qmvigilorn/pool/p.deb"
                                   << "/var/lib/qmvigilorn/pool/p.deb"
                                   << "q-";
    }
    void aptArguments() {
        QFETCH(QString, arch);
        QFETCH(QString, from);
        QFETCH(QString, installed);
        QFETCH(QString, removed);
        PackagePlan plan;
        plan.install.push_back({"p", arch.toStdString(), "1:1.0-1", from.toStdString()});
        plan.remove.push_back({"q", arch.toStdString(), "2", {}});
        const auto args = vigilorn::sys::aptArguments("/usr/bin/apt-get", plan, "amd64", 12);
        QCOMPARE(args.front(), std::string("/usr/bin/apt-get"));
        QCOMPARE(args[1], std::string("install"));
        // Our own run: the hook leaves it alone.
        QVERIFY(std::find(args.begin(), args.end(),
                          std::string(vigilorn::restoreproto::kRestoringOption) + "=12") !=
                args.end());
        QCOMPARE(QString::fromStdString(args[args.size() - 2]), installed);
        QCOMPARE(QString::fromStdString(args.back()), removed);
    }
};

QTEST_GUILESS_MAIN(TestRestorePlan)
#include "test_restore_plan.moc"
