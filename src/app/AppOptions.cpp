#include "AppOptions.h"
#include "SettingsStore.h"
#include "platform/RuntimeError.h"

namespace vigilorn {

Options readOptions(const SettingsStore& store, std::vector<PlatformError>& errors) {
    Options o;
    auto read = [&](const char* key, std::int16_t& field) {
        try {
            field = store.readInt16(kOptionsSection, QString::fromLatin1(key), field);
        } catch (const RuntimeError& e) {
            errors.push_back(e.error());
        }
    };
    read("ShowSplashStartUP", o.ShowSplashStartUP);
    read("RunAtStartUP", o.RunAtStartUP);
    read("StartMinimised", o.StartMinimised);
    read("ShowFormBorder", o.ShowFormBorder);
    return o;
}

} // namespace vigilorn
