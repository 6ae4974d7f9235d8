#pragma once
#include "platform/Autorun.h"

#include <string>

namespace vigilorn {

// The machine-wide XDG autostart entry: QMVigilorn.desktop in the autostart folder of the
// first folder of $XDG_CONFIG_DIRS (/etc/xdg when unset).
class XdgAutorun final : public Autorun {
public:
    Failure write(const std::string& commandPath) override;
    void remove() override;
    // An existing executable regular file, with a UTF-8 path and no "%" (GLib does not launch
    // such an Exec= line, escaped or not).
    Failure checkCommand(const std::string& commandPath) const override;

    // Read from the environment at each call, so a changed $XDG_CONFIG_DIRS takes effect.
    static std::string configDir();
    static std::string entryPath();

    // The Exec= value that runs exactly this program, quoted and escaped as desktop entries
    // require.
    static std::string execValue(const std::string& program);
    static std::string entryText(const std::string& program);
};

} // namespace vigilorn
