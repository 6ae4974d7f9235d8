#pragma once
#include "platform/PlatformError.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QSettings;

namespace vigilorn {

// Converts stored text to a 16-bit signed integer as the settings store does: surrounding blanks
// and a sign allowed; anything else is "Type mismatch", a number out of range "Overflow".
std::int16_t toInt16(const QString& text); // throws RuntimeError

// The per-user settings: an INI file named after the application under $XDG_CONFIG_HOME.
class SettingsStore {
public:
    // Opens <configDir>/<appName>.ini; configDir empty = the user's configuration folder.
    explicit SettingsStore(const QString& appName, const QString& configDir = {});
    ~SettingsStore();

    QString fileName() const;
    // Set when the file exists but cannot be read or parsed, or when the program runs as root and
    // the folder is not root's; the program then runs on defaults.
    std::optional<PlatformError> openError() const { return m_openError; }
    // The file could not be parsed: the next write keeps it as damagedCopyName() and writes a
    // new one with what could be read. Tell the user before writing.
    bool isDamaged() const { return m_damaged; }
    QString damagedCopyName() const;

    // A missing value yields the default; a value that does not convert throws RuntimeError.
    std::int16_t readInt16(const QString& section, const QString& key,
                           std::int16_t defaultValue) const;
    // Writes decimal text; a failure to store it throws RuntimeError with the system's error.
    // A file that is not a regular file is never opened, so never written.
    void writeText(const QString& section, const QString& key, const QString& text);
    QString readText(const QString& section, const QString& key, const QString& defaultValue) const;

private:
    QString m_path;
    std::unique_ptr<QSettings> m_settings;
    std::optional<PlatformError> m_openError;
    bool m_unusable = false; // no QSettings: reads give defaults, writes fail
    bool m_damaged = false;
};

} // namespace vigilorn
