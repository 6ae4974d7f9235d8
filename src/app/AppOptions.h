#pragma once
#include <QString>

#include <cstdint>
#include <vector>

namespace vigilorn {

class SettingsStore;
struct PlatformError;

// The four options, each named after its settings key.
struct Options {
    std::int16_t ShowSplashStartUP = 1;
    std::int16_t RunAtStartUP = 0;
    std::int16_t StartMinimised = 0;
    std::int16_t ShowFormBorder = 0;

    // The two tests differ on purpose: 2 or -1 is "off" for the first, "on" for the second.
    bool showSplash() const { return ShowSplashStartUP == 1; }
    bool startMinimised() const { return StartMinimised == 1; }
    bool showFormBorder() const { return ShowFormBorder != 0; }
};

inline const QString kOptionsSection = QStringLiteral("Options");

// Reads the four options in their fixed order. A value that does not convert keeps its default
// and adds its error to errors; the others are still read.
Options readOptions(const SettingsStore& store, std::vector<PlatformError>& errors);

} // namespace vigilorn
