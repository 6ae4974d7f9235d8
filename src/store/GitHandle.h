#pragma once
// Owning handles for libgit2 objects.
#include <git2.h>

#include <memory>

namespace vigilorn {

struct GitFree {
    void operator()(git_repository* p) const { git_repository_free(p); }
    void operator()(git_index* p) const { git_index_free(p); }
    void operator()(git_commit* p) const { git_commit_free(p); }
    void operator()(git_tree* p) const { git_tree_free(p); }
    void operator()(git_tree_entry* p) const { git_tree_entry_free(p); }
    void operator()(git_revwalk* p) const { git_revwalk_free(p); }
    void operator()(git_blob* p) const { git_blob_free(p); }
    void operator()(git_odb* p) const { git_odb_free(p); }
    void operator()(git_signature* p) const { git_signature_free(p); }
    void operator()(git_reference* p) const { git_reference_free(p); }
    void operator()(git_config* p) const { git_config_free(p); }
    void operator()(git_treebuilder* p) const { git_treebuilder_free(p); }
};
template <class T> using Git = std::unique_ptr<T, GitFree>;

// Starts libgit2 for root's stores: no user's or system-wide git settings reach them.
inline void initLibGit2WithoutSettings() {
    git_libgit2_init();
    for (const int level : {GIT_CONFIG_LEVEL_PROGRAMDATA, GIT_CONFIG_LEVEL_SYSTEM,
                            GIT_CONFIG_LEVEL_XDG, GIT_CONFIG_LEVEL_GLOBAL})
        git_libgit2_opts(GIT_OPT_SET_SEARCH_PATH, level, "");
}

// libgit2 for as long as it lives, started as above.
struct LibGit2WithoutSettings {
    LibGit2WithoutSettings() { initLibGit2WithoutSettings(); }
    ~LibGit2WithoutSettings() { git_libgit2_shutdown(); }
    LibGit2WithoutSettings(const LibGit2WithoutSettings&) = delete;
    LibGit2WithoutSettings& operator=(const LibGit2WithoutSettings&) = delete;
};

} // namespace vigilorn
