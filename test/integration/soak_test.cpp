// A minute of the soak (bench_soak runs ten): two agents in the lab under
// mixed work, malformed traffic, cancels and a restart of one of them, then a
// short probe flood. After the warm-up neither agent grows in threads,
// descriptors, memory or test log; every test ends with figures or a reason;
// the first page answers within a second throughout.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/soak_helpers.h"

namespace trellon::netlab {
namespace {

using namespace std::chrono_literals;

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps freed memory in its quarantine: resident memory is
// no measure of a leak there (its leak check is).
constexpr bool kMemoryMeasurable = false;
#else
constexpr bool kMemoryMeasurable = true;
#endif

struct Peak {
    int threads = 0;
    int descriptors = 0;
    long rssKb = 0;
    int logRecords = 0;
};

Peak peakOf(const std::vector<soak::Figures>& figures, std::size_t from, std::size_t to) {
    Peak peak;
    for (std::size_t i = from; i < to && i < figures.size(); ++i) {
        peak.threads = std::max(peak.threads, figures[i].threads);
        peak.descriptors = std::max(peak.descriptors, figures[i].descriptors);
        peak.rssKb = std::max(peak.rssKb, figures[i].rssKb);
        peak.logRecords = std::max(peak.logRecords, figures[i].logRecords);
    }
    return peak;
}

// The first two settled samples set the level; the later ones must not rise
// above it by more than what the work in flight at any moment explains.
void expectNoGrowth(const soak::Outcome& outcome, char agent, std::chrono::seconds warmUp,
                    int testLogSize) {
    const std::vector<soak::Figures> figures = soak::settled(outcome, agent, warmUp);
    ASSERT_GE(figures.size(), 3u) << "agent " << agent << ": too few samples after the warm-up";
    const Peak level = peakOf(figures, 0, 2);
    const Peak later = peakOf(figures, 2, figures.size());
    SCOPED_TRACE(std::string("agent ") + agent);
    EXPECT_GT(level.threads, 0);
    EXPECT_GT(level.descriptors, 0);
    // A few tests more or less in flight at the moment of a sample.
    EXPECT_LE(later.threads, level.threads + 8);
    EXPECT_LE(later.descriptors, level.descriptors + 16);
    if (kMemoryMeasurable) {
        EXPECT_LE(later.rssKb, level.rssKb + level.rssKb / 4 + 4096);
    }
    // The log keeps its size; records of tests still running may stand beyond it.
    EXPECT_GE(later.logRecords, 0);
    EXPECT_LE(later.logRecords, testLogSize + 8);
}

TEST(Soak, AMinuteOfMixedWorkARestartAndAProbeFlood) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    soak::Settings settings;
    settings.duration = 60s;
    settings.every = 10s;
    settings.warmUp = 15s;
    settings.restartAt = 10s;
    settings.flood = 10s;
    settings.probers = 3;
    settings.floodSenders = 3;
    const soak::Outcome outcome = soak::Soak(settings).run();
    ASSERT_EQ(outcome.setupError, "");

    expectNoGrowth(outcome, 'a', settings.warmUp, settings.testLogSize);
    expectNoGrowth(outcome, 'b', settings.warmUp, settings.testLogSize);

    const soak::TestTally& tests = outcome.tests;
    EXPECT_GT(tests.started, 10);
    EXPECT_GT(tests.withFigures, 0);
    EXPECT_GT(tests.cancelled, 0);
    EXPECT_EQ(tests.unfinished, 0);
    for (const std::string& problem : tests.problems) ADD_FAILURE() << problem;
    EXPECT_EQ(tests.started, tests.withFigures + tests.withReason + tests.unfinished +
                                 tests.lostInRestart + tests.cutShort + tests.droppedUnread);
    EXPECT_GT(outcome.restartSeconds, 0);

    EXPECT_GT(outcome.pages.loads, 100);
    EXPECT_EQ(outcome.pages.failures, 0);
    EXPECT_LT(outcome.pages.slowest, 1.0)
        << "agent " << outcome.pages.slowestAgent << " at " << outcome.pages.slowestAt << " s";
    EXPECT_GT(outcome.malformedSent, 100);

    const soak::FloodOutcome& flood = outcome.flood;
    EXPECT_GT(flood.datagrams, 10000);
    EXPECT_GT(flood.pages.loads, 5);
    EXPECT_EQ(flood.pages.failures, 0);
    EXPECT_LT(flood.pages.slowest, 1.0);
    // The reflector's queue is bounded (10000 packets of up to 2000 bytes,
    // kept for reuse): however fast it fills, which depends on how busy the
    // machine is, its memory cannot grow beyond that.
    EXPECT_LE(flood.threadsPeak, flood.threadsBefore + 4);
    if (kMemoryMeasurable) {
        EXPECT_LE(flood.rssPeakKb, flood.rssBeforeKb + 32 * 1024);
    }
}

}  // namespace
}  // namespace trellon::netlab
