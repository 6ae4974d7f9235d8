// Where the built-in store lives. Kept apart from the store itself, which is built into its own
// module, so that the program can name the store without loading libgit2.
#include "GitStoreApi.h"

#include <QDebug>
#include <QDir>
#include <QStandardPaths>

namespace vigilorn {
namespace {

std::string homeAbbreviated(const QString& path) {
    const QString home = QDir::homePath();
    if (!home.isEmpty() && home != "/" && (path == home || path.startsWith(home + "/")))
        return ("~" + path.mid(home.size())).toStdString();
    return path.toStdString();
}

} // namespace

BuiltinStoreOptions builtinStoreOptions(const PlatformConfig& config) {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString source = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString app = config.appName.empty() ? QStringLiteral("vigilorn")
                                               : QString::fromStdString(config.appName);
    const QString repository = data + "/" + app + "/restore-points.git";
    BuiltinStoreOptions o;
    o.repository = repository.toStdString();
    o.source = source.toStdString();
    // The repository, and with it the rest of the data folder when it sits inside the
    // configuration folder: capturing it would capture every earlier restore point again.
    o.excluded = {o.repository, data.toStdString()};
    o.displayName = "built-in store in " + homeAbbreviated(repository);
    o.flatpakUser = (data + "/flatpak").toStdString();
    o.keep = config.restoreKeep;
    o.warn = [](const std::string& text) { qWarning("%s", text.c_str()); };
    return o;
}

BuiltinStoreOptions configurationPartOptions(const PlatformConfig& config) {
    BuiltinStoreOptions o = builtinStoreOptions(config);
    const std::string own = o.repository;
    o.repository = own.substr(0, own.rfind('/')) + "/configuration-parts.git";
    o.excluded.push_back(o.repository);
    // The system's part is the root side's.
    o.dpkgStatus.clear();
    o.flatpakSystem.clear();
    o.flatpakUser.clear();
    o.etc.clear();
    o.displayName =
        "configuration parts in " + homeAbbreviated(QString::fromStdString(o.repository));
    return o;
}

} // namespace vigilorn
