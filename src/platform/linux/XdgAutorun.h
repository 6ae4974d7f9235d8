#pragma once
#include "platform/Autorun.h"

#include <string>
#include <sys/types.h>

namespace vigilorn {

// The machine-wide XDG autostart entry: QMVigilorn.desktop in the autostart folder of the
// first folder of $XDG_CONFIG_DIRS (/etc/xdg when unset).
class XdgAutorun final : public Autorun {
public:
    // `alsoTrusted`: a user besides root whose files count as root's (tests name themselves).
    explicit XdgAutorun(uid_t alsoTrusted = 0) : m_alsoTrusted(alsoTrusted) {}

    Failure write(const std::string& commandPath) override;
    Failure remove() override;
    // An existing executable regular file, with a UTF-8 path and no "%" (GLib does not launch
    // such an Exec= line, escaped or not), that only root can replace: every user runs it.
    Failure checkCommand(const std::string& commandPath) const override;

    // Read from the environment at each call, so a changed $XDG_CONFIG_DIRS takes effect.
    static std::string configDir();
    static std::string entryPath();

    // The Exec= value that runs exactly this program, quoted and escaped as desktop entries
    // require.
    static std::string execValue(const std::string& program);
    static std::string entryText(const std::string& program);

private:
    uid_t m_alsoTrusted;
};

} // namespace vigilorn
