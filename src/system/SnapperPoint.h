#pragma once
// System points as snapper snapshots of the root config, on machines that keep their root file
// system with snapper: the program then lists snapper's snapshots, so the hook's point must be
// one of them, under snapper's number.
#include "SystemStore.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vigilorn::sys {

// How long before the point 80snapper's pre snapshot may have been made: the hook asks the
// user in between, for at most its cap.
inline constexpr std::int64_t kAptPreSnapshotSeconds = 10 * 60;

struct SnapperSetup {
    std::string snapper = "/usr/bin/snapper";
    std::string rootConfig = "/etc/snapper/configs/root";
    std::string aptHook = "/etc/apt/apt.conf.d/80snapper";
    std::string defaults = "/etc/default/snapper";
    // With the bus there, snapperd makes the snapshot: it keeps the list the program reads, and
    // would not see one made behind its back.
    std::string systemBus = "/run/dbus/system_bus_socket";
    std::chrono::milliseconds listCap{20'000};
    std::chrono::milliseconds createCap{45'000};
    std::function<std::int64_t()> now; // seconds since the epoch; the real clock if empty
};

// snapper at its fixed path, root's own, and a root config: snapper keeps the system.
bool snapperKeepsRoot(const SnapperSetup& setup);
// 80snapper is there and /etc/default/snapper does not turn it off.
bool snapperAptHookActive(const SnapperSetup& setup);
// DISABLE_APT_SNAPSHOT="yes" in /etc/default/snapper's text, as its shell would read it.
bool aptSnapshotsDisabled(std::string_view defaultsText);

struct SnapperRow {
    std::uint32_t number = 0;
    std::string type; // single, pre, post
    std::uint32_t preNumber = 0;
    std::int64_t date = -1; // seconds since the epoch, UTC; -1 for none
    std::string user;
    std::map<std::string, std::string> userdata;
    std::string description;
};

// The columns snapper is asked for, in this order.
inline constexpr const char* kSnapperColumns =
    "number,type,pre-number,date,user,userdata,description";
// `snapper --utc --machine-readable csv list --columns kSnapperColumns`; nullopt when it is not
// that.
std::optional<std::vector<SnapperRow>> parseSnapperList(std::string_view csv);

// This APT run's pre snapshot by 80snapper: root's newest "apt" pre snapshot without its post,
// made at most kAptPreSnapshotSeconds ago.
std::optional<std::uint32_t> aptPreSnapshot(const std::vector<SnapperRow>& rows, std::int64_t now);
// Root's newest unattended point of ours within kUnattendedSeconds.
std::optional<std::uint32_t> recentUnattended(const std::vector<SnapperRow>& rows,
                                              std::int64_t now);

// snapper's arguments for the point, after the program's path and the bus choice.
std::vector<std::string> snapperCreateArguments(const Request& request);

// The point for `request` in snapper's root config; `number` is snapper's.
Failure createSnapperPoint(const SnapperSetup& setup, const Request& request,
                           unsigned long long& number);

} // namespace vigilorn::sys
