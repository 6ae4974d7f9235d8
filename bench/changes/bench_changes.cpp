// Changes since a point of a real /etc: the point is written from the folder itself with
// every 40th file left out of it and every 40th other file altered, so that changes are spread
// through the walk. Prints the time to the first row and to the full list.
//   bench_changes [ETC_FOLDER [DPKG_STATUS]]
#include "store/BuiltinChanges.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <git2.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace vigilorn;

namespace {

namespace fs = std::filesystem;

bool addEntry(git_repository* repo, git_index* index, const std::string& path, const char* data,
              std::size_t size, git_filemode_t mode) {
    git_index_entry e{};
    e.path = path.c_str();
    e.mode = mode;
    return git_blob_create_from_buffer(&e.id, repo, data, size) == 0 &&
           git_index_add(index, &e) == 0;
}

bool writePoint(git_repository* repo, const std::string& etc, const std::string& status,
                std::size_t& files) {
    git_index* index = nullptr;
    if (git_index_new(&index) < 0)
        return false;
    std::string leftOut;
    std::size_t n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(
             etc, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        const fs::path& p = it->path();
        const std::string rel = "etc/" + p.lexically_relative(etc).string();
        if (rel.find("/.git/") != std::string::npos || p.filename() == ".git") {
            it.disable_recursion_pending();
            continue;
        }
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
            continue;
        ++n;
        if (S_ISLNK(st.st_mode)) {
            const std::string target = fs::read_symlink(p, ec).string();
            if (n % 40 != 0)
                addEntry(repo, index, rel, target.data(), target.size(), GIT_FILEMODE_LINK);
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            leftOut += "special\t" + rel + "\n";
            continue;
        }
        std::ifstream in(p, std::ios::binary);
        if (!in) {
            leftOut += "unreadable\t" + rel + "\n";
            continue;
        }
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (n % 40 == 0)
            continue; // "added" since
        if (n % 40 == 20)
            content += "# changed\n";
        addEntry(repo, index, rel, content.data(), content.size(),
                 (st.st_mode & S_IXUSR) ? GIT_FILEMODE_BLOB_EXECUTABLE : GIT_FILEMODE_BLOB);
    }
    files = n;
    addEntry(repo, index, "left-out.txt", leftOut.data(), leftOut.size(), GIT_FILEMODE_BLOB);
    // The package list as it is now, minus a few: those show as added.
    std::ifstream statusIn(status, std::ios::binary);
    std::string packages, line, name, arch, version, state;
    int stanza = 0;
    auto flush = [&] {
        if (!name.empty() && ++stanza % 50 != 0)
            packages += name + "\t" + arch + "\t" + version + "\t" + state + "\n";
        name = arch = version = state = {};
    };
    while (std::getline(statusIn, line)) {
        if (line.empty()) {
            flush();
        } else if (line.rfind("Package: ", 0) == 0) {
            name = line.substr(9);
        } else if (line.rfind("Architecture: ", 0) == 0) {
            arch = line.substr(14);
        } else if (line.rfind("Version: ", 0) == 0) {
            version = line.substr(9);
        } else if (line.rfind("Status: ", 0) == 0) {
            state = line.substr(8);
        }
    }
    flush();
    addEntry(repo, index, "packages/dpkg", packages.data(), packages.size(), GIT_FILEMODE_BLOB);

    git_oid tree, commit;
    git_tree* t = nullptr;
    git_signature* sig = nullptr;
    const bool ok = git_index_write_tree_to(&tree, index, repo) == 0 &&
                    git_tree_lookup(&t, repo, &tree) == 0 &&
                    git_signature_now(&sig, "bench", "bench@localhost") == 0 &&
                    git_commit_create(&commit, repo, "HEAD", sig, sig, nullptr,
                                      "bench\n\nRestore-Point-Type: 12\nEvent-Type: 100\n"
                                      "Sequence-Number: 1\nStore-Layout: 2\n",
                                      t, 0, nullptr) == 0;
    git_signature_free(sig);
    git_tree_free(t);
    git_index_free(index);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::string etc = argc > 1 ? argv[1] : "/etc";
    const std::string status = argc > 2 ? argv[2] : "/var/lib/dpkg/status";
    QTemporaryDir dir;
    git_libgit2_init();
    git_repository* repo = nullptr;
    const std::string store = dir.filePath("store.git").toStdString();
    std::size_t files = 0;
    if (!dir.isValid() || git_repository_init(&repo, store.c_str(), 1) < 0 ||
        !writePoint(repo, etc, status, files)) {
        std::fprintf(stderr, "could not write the point\n");
        return 1;
    }
    git_repository_free(repo);

    BuiltinChanges::Options o;
    o.repository = store;
    o.configFolder = dir.filePath("config").toStdString();
    o.etcFolder = etc;
    o.dpkgStatus = status;
    fs::create_directories(o.configFolder);
    BuiltinChanges changes(o);
    for (int run = 1; run <= 3; ++run) {
        QElapsedTimer timer;
        qint64 firstRow = -1, firstFileRow = -1;
        std::size_t rows = 0, packages = 0, added = 0, changed = 0, removed = 0;
        CompareCallbacks cb;
        cb.batch = [&](std::vector<Change>&& b) {
            if (firstRow < 0)
                firstRow = timer.nsecsElapsed();
            for (const auto& c : b)
                if (firstFileRow < 0 && c.area == Change::Area::Etc)
                    firstFileRow = timer.nsecsElapsed();
            rows += b.size();
            for (const auto& c : b) {
                if (c.area == Change::Area::Packages)
                    ++packages;
                else if (c.kind == Change::Kind::Added)
                    ++added;
                else if (c.kind == Change::Kind::Removed)
                    ++removed;
                else
                    ++changed;
            }
        };
        timer.start();
        if (const Failure f = changes.compare("1", cb)) {
            std::fprintf(stderr, "compare failed: %s\n", f->description.c_str());
            return 1;
        }
        const qint64 all = timer.nsecsElapsed();
        std::printf("run %d: %zu files under %s, %zu rows (%zu packages, files %zu added, %zu "
                    "changed, %zu removed); first row %.1f ms, first file row %.1f ms, full list "
                    "%.1f ms\n",
                    run, files, etc.c_str(), rows, packages, added, changed, removed,
                    firstRow / 1e6, firstFileRow / 1e6, all / 1e6);
    }
    git_libgit2_shutdown();
    return 0;
}
