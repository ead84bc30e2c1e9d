// TestMetrics: the last figures of each finished test, by test type and
// remote computer, for the agent's /metrics page (Prometheus text format).
//
// A record hands its figures over once, when it first moves to finished
// (TestResult::setState, under the record's lock; this lock is taken after
// it and never the other way round). The page reads a copy under the lock.
// The remote computer is whatever the user typed, so the store is bounded:
// beyond kMaxSeries pairs the one finished longest ago makes room.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace trellon {

class TestMetrics {
public:
    // One figure: its metric name (without the "trellon_last_" head) and value.
    using Figures = std::vector<std::pair<std::string, double>>;

    struct Series {
        std::string type;
        std::string remote;
        std::int64_t finishTime = 0;
        std::uint64_t order = 0;  // when it came, to find the oldest
        Figures figures;
    };

    // What the reflector has answered and dropped, for the page: a source
    // set here (tests) comes before the agent's running reflector.
    struct ReflectorCounts {
        std::uint64_t answered = 0;
        std::uint64_t dropped = 0;
    };
    using ReflectorSource = std::function<ReflectorCounts()>;

    static constexpr std::size_t kMaxSeries = 1000;

    static TestMetrics& instance();

    void noteFinished(const std::string& type, const std::string& remote, std::int64_t finishTime,
                      Figures figures);
    std::vector<Series> series() const;
    void clear();

    void setReflectorSource(ReflectorSource source);
    // False when no source is set.
    bool reflectorCounts(ReflectorCounts& counts) const;

private:
    mutable std::mutex lock_;  // guards series_, next_ and reflectorSource_
    std::map<std::pair<std::string, std::string>, Series> series_;
    std::uint64_t next_ = 0;
    ReflectorSource reflectorSource_;
};

}  // namespace trellon
