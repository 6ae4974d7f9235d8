#include "RestorePlan.h"

#include <algorithm>

namespace vigilorn::sys {

namespace {

PackageTarget targetOf(const std::string& key, const std::string& version) {
    const auto tab = key.find('\t');
    return {key.substr(0, tab),
            tab == std::string::npos ? std::string() : key.substr(tab + 1),
            version,
            {}};
}

std::string keyOf(const PackageTarget& t) {
    return t.name + '\t' + t.arch;
}

} // namespace

PackagePlan
planPackages(const InstalledVersions& then, const InstalledVersions& now,
             const std::function<std::optional<std::string>(const PackageTarget&)>& kept,
             const std::function<std::vector<bool>(const std::vector<PackageTarget>&)>& inArchive) {
    PackagePlan plan;
    std::vector<PackageTarget> fromArchive;
    for (const auto& [key, version] : then) {
        const auto it = now.find(key);
        if (it != now.end() && it->second == version)
            continue;
        PackageTarget t = targetOf(key, version);
        if (const auto file = kept(t)) {
            t.from = *file;
            plan.install.push_back(std::move(t));
        } else {
            fromArchive.push_back(std::move(t));
        }
    }
    const std::vector<bool> available =
        fromArchive.empty() ? std::vector<bool>{} : inArchive(fromArchive);
    for (std::size_t i = 0; i < fromArchive.size(); ++i)
        (i < available.size() && available[i] ? plan.install : plan.missing)
            .push_back(fromArchive[i]);
    for (const auto& [key, version] : now)
        if (!then.count(key))
            plan.remove.push_back(targetOf(key, version));
    return plan;
}

void leaveAlone(PackagePlan& plan, const std::vector<std::string>& names,
                const InstalledVersions& now) {
    auto guarded = [&](const PackageTarget& t) {
        return std::find(names.begin(), names.end(), t.name) != names.end();
    };
    for (auto* list : {&plan.install, &plan.remove, &plan.missing}) {
        for (auto& t : *list)
            if (guarded(t)) {
                // Absent now, it is not taken away either: nothing to name.
                if (const auto it = now.find(keyOf(t)); it != now.end())
                    plan.leftAlone.push_back({t.name, t.arch, it->second, {}});
            }
        list->erase(std::remove_if(list->begin(), list->end(), guarded), list->end());
    }
}

std::vector<PackageAction> planActions(const PackagePlan& plan, const InstalledVersions& now,
                                       PackageSystem& packages) {
    std::vector<PackageAction> actions;
    for (const auto& t : plan.install) {
        const auto it = now.find(keyOf(t));
        const std::string old = it == now.end() ? std::string(kNoVersion) : it->second;
        const ActionKind kind = it == now.end() ? ActionKind::Install
                                : packages.compareVersions(t.version, old) > 0
                                    ? ActionKind::Upgrade
                                    : ActionKind::Downgrade;
        actions.push_back({packages.shownName(t), old, t.version, kind});
    }
    for (const auto& t : plan.remove)
        actions.push_back(
            {packages.shownName(t), t.version, std::string(kNoVersion), ActionKind::Remove});
    return actions;
}

} // namespace vigilorn::sys
