#pragma once
// Files of /etc that decide who may log in, become root, or have code run as root, and what
// APT trusts. Putting back an old one can undo a password change, re-open an account, bring back
// a revoked key or a source since dropped: a restore names them before it changes them.
#include <string_view>

namespace vigilorn::sys {

// `path` as a point holds it: "etc/shadow", "etc/ssh/sshd_config", ...
bool securityRelevant(std::string_view path);

} // namespace vigilorn::sys
