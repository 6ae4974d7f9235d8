#include "PathSysInfoLauncher.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace vigilorn {
namespace {

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

} // namespace

PathSysInfoLauncher::PathSysInfoLauncher(std::optional<std::string> searchPath, std::string folder)
    : m_searchPath(std::move(searchPath)), m_folder(std::move(folder)) {}

bool PathSysInfoLauncher::lookupToolPath(std::string& path) {
    std::string list;
    if (m_searchPath) {
        list = *m_searchPath;
    } else if (const char* env = std::getenv("PATH")) {
        list = env;
    }
    for (const char* tool : {"hardinfo", "kinfocenter", "gnome-system-monitor"}) {
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t end = list.find(':', start);
            if (end == std::string::npos)
                end = list.size();
            const std::string dir = list.substr(start, end - start);
            start = end + 1;
            // Empty and relative entries name the current folder: never run a tool from there.
            if (dir.empty() || dir.front() != '/')
                continue;
            const std::string candidate = dir + "/" + tool;
            if (isExecutableFile(candidate)) {
                path = candidate;
                return true;
            }
        }
    }
    return false;
}

bool PathSysInfoLauncher::lookupToolFolder(std::string& folder) {
    folder = m_folder;
    return true;
}

std::string PathSysInfoLauncher::toolInFolder(const std::string& folder) const {
    return folder + "/hardinfo";
}

bool PathSysInfoLauncher::isRegularFile(const std::string& path) const {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool PathSysInfoLauncher::start(const std::string& path) {
    return QProcess::startDetached(QString::fromStdString(path), QStringList());
}

} // namespace vigilorn
