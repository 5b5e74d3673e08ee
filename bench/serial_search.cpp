// Time of the serial search over COM3 … COM30 when no interface is present (budget: 20 ms).
// Measured twice: with an empty devices folder, and with the default mapping to /dev/ttyS2 …
// /dev/ttyS29 (whatever of those exists here without an interface behind it counts as well).
//
// Usage: serial_search_bench [runs]      (default 200)
#include "interface/SerialLink.h"
#include "platform/Settings.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr double kBudgetMs = 20.0;

struct Figures {
    double median;
    double worst;
    int found;
};

Figures Measure(int runs) {
    std::vector<double> times;
    times.reserve(runs);
    int found = 0;
    for (int i = 0; i < runs; ++i) {
        const auto start = std::chrono::steady_clock::now();
        found += FindInterface();
        ClosePort();
        const std::chrono::duration<double, std::milli> took =
            std::chrono::steady_clock::now() - start;
        times.push_back(took.count());
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times.back(), found};
}

bool Report(const char* what, const Figures& f) {
    const bool ok = f.found == 0 && f.median < kBudgetMs;
    std::printf("%-40s median %8.3f ms  worst %8.3f ms  budget %.0f ms  %s\n", what, f.median,
                f.worst, kBudgetMs,
                f.found != 0 ? "INTERFACE FOUND (not an empty search)"
                : ok         ? "ok"
                             : "OVER");
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    QTemporaryDir empty;
    if (!empty.isValid()) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 2;
    }
    ServerSettings settings = serverSettings();
    settings.devices = empty.path();
    setServerSettings(settings);
    bool ok = Report("FindInterface, empty devices folder", Measure(runs));
    settings.devices.clear();
    setServerSettings(settings);
    ok = Report("FindInterface, /dev/ttyS2 ... /dev/ttyS29", Measure(runs)) && ok;
    return ok ? 0 : 1;
}
