// Prints how far the precise wait overshoots its target, for 1, 5 and 20 ms
// (median, p90, p99 and worst, in milliseconds), and checks a 5-second wait.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "lib/timestamp.h"

int main() {
    using Clock = std::chrono::steady_clock;
    for (int ms : {1, 5, 20}) {
        const int rounds = ms == 20 ? 100 : 300;
        std::vector<double> over;
        for (int i = 0; i < rounds; ++i) {
            auto start = Clock::now();
            trellon::preciseWait(ms);
            double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            over.push_back(took - ms);
        }
        std::sort(over.begin(), over.end());
        auto at = [&](double q) { return over[static_cast<std::size_t>(q * (over.size() - 1))]; };
        std::printf("wait %2d ms: overshoot median %.4f ms, p90 %.4f, p99 %.4f, max %.4f (%d waits)\n", ms, at(0.5),
                    at(0.9), at(0.99), over.back(), rounds);
    }
    auto start = Clock::now();
    trellon::preciseWait(5000);
    double took = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::printf("wait 5000 ms: took %.3f ms (overshoot %.4f ms)\n", took, took - 5000);
    return 0;
}
