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
};
template <class T> using Git = std::unique_ptr<T, GitFree>;

} // namespace vigilorn
