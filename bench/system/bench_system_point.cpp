// Times a system point of this machine's /etc and dpkg status in a temporary root folder:
// the first point, then unchanged ones. Run as root (every /etc file readable):
//   bench_system_point [unchanged-rounds]
#include "system/SystemStore.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

using namespace vigilorn::sys;

int main(int argc, char** argv) {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "run as root\n");
        return 1;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    char base[] = "/tmp/bench-system-point.XXXXXX";
    if (!::mkdtemp(base))
        return 1;
    SystemStore::Options o;
    o.folder = std::string(base) + "/qmvigilorn";
    o.keep = 0;
    SystemStore store(o);
    Request r;
    r.reason = Reason::Auto;
    r.description = "bench";
    r.actions = {{"hello", "-", "2.10-3", vigilorn::ActionKind::Install}};

    auto timed = [&](unsigned long long& n) {
        const auto t0 = std::chrono::steady_clock::now();
        if (auto f = store.create(r, n)) {
            std::fprintf(stderr, "%s\n", f->description.c_str());
            std::exit(1);
        }
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
            .count();
    };
    unsigned long long n = 0;
    const double first = timed(n);
    std::vector<double> unchanged;
    for (int i = 0; i < rounds; ++i)
        unchanged.push_back(timed(n));
    std::sort(unchanged.begin(), unchanged.end());
    const double median = unchanged[unchanged.size() / 2];
    std::printf("first point:      %.1f ms\n", first);
    std::printf("unchanged point:  %.1f ms (median of %d, %.1f..%.1f)\n", median, rounds,
                unchanged.front(), unchanged.back());
    std::printf("unchanged/first:  %.3f\n", median / first);
    std::error_code ec;
    std::filesystem::remove_all(base, ec);
    return 0;
}
