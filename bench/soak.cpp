// The soak: two agents in the network lab under mixed work for ten minutes
// (or the seconds given), one of them restarted half-way through its peer's
// tests, then a 30-second probe flood at a reflector. Prints each minute the
// threads, open descriptors, resident memory and test log size of each
// agent, and at the end how every test ended and how slow the first page
// ever was. Needs root (network namespaces).
//
//   bench_soak [seconds [flood-seconds]]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/soak_helpers.h"

using namespace trellon::netlab;

int main(int argc, char** argv) {
    const std::string why = unavailableReason();
    if (!why.empty()) {
        std::fprintf(stderr, "soak: the network lab cannot run here: %s\n", why.c_str());
        return 2;
    }
    soak::Settings settings;
    if (argc > 1) settings.duration = std::chrono::seconds(std::max(10, std::atoi(argv[1])));
    if (argc > 2) settings.flood = std::chrono::seconds(std::max(0, std::atoi(argv[2])));
    // Figures each minute; for a short run each tenth of it.
    settings.every =
        std::min<std::chrono::seconds>(std::chrono::seconds(60), settings.duration / 10);
    settings.every = std::max<std::chrono::seconds>(settings.every, std::chrono::seconds(1));
    settings.warmUp =
        std::min<std::chrono::seconds>(std::chrono::seconds(60), settings.duration / 4);
    settings.restartAt = settings.duration / 5;
    std::printf(
        "soak: %lld s of mixed work, agent b restarted at %lld s, then a %lld s probe "
        "flood\n",
        static_cast<long long>(settings.duration.count()),
        static_cast<long long>(settings.restartAt.count()),
        static_cast<long long>(settings.flood.count()));
    const soak::Outcome outcome = soak::Soak(settings).run();
    if (!outcome.setupError.empty()) {
        std::fprintf(stderr, "soak: %s", outcome.setupError.c_str());
        return 1;
    }
    // The figures after each agent's warm-up, first and last, side by side.
    for (char agent : {'a', 'b'}) {
        const auto figures = soak::settled(outcome, agent, settings.warmUp);
        if (figures.empty()) continue;
        std::printf("agent %c after its warm-up: first %s\n                         last  %s\n",
                    agent, soak::describe(figures.front()).c_str(),
                    soak::describe(figures.back()).c_str());
    }
    return outcome.tests.unfinished == 0 && outcome.pages.failures == 0 ? 0 : 1;
}
