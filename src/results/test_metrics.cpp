#include "results/test_metrics.h"

#include <algorithm>

namespace trellon {

TestMetrics& TestMetrics::instance() {
    static TestMetrics metrics;
    return metrics;
}

void TestMetrics::noteFinished(const std::string& type, const std::string& remote,
                               std::int64_t finishTime, Figures figures) {
    std::lock_guard<std::mutex> guard(lock_);
    auto key = std::make_pair(type, remote);
    if (series_.find(key) == series_.end() && series_.size() >= kMaxSeries) {
        auto oldest = std::min_element(series_.begin(), series_.end(), [](auto& a, auto& b) {
            return a.second.order < b.second.order;
        });
        series_.erase(oldest);
    }
    Series& s = series_[key];
    s.type = type;
    s.remote = remote;
    s.finishTime = finishTime;
    s.order = next_++;
    s.figures = std::move(figures);
}

std::vector<TestMetrics::Series> TestMetrics::series() const {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<Series> all;
    all.reserve(series_.size());
    for (const auto& [key, s] : series_) all.push_back(s);
    return all;
}

void TestMetrics::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    series_.clear();
}

void TestMetrics::setReflectorSource(ReflectorSource source) {
    std::lock_guard<std::mutex> guard(lock_);
    reflectorSource_ = std::move(source);
}

bool TestMetrics::reflectorCounts(ReflectorCounts& counts) const {
    ReflectorSource source;
    {
        std::lock_guard<std::mutex> guard(lock_);
        source = reflectorSource_;
    }
    if (!source) return false;
    counts = source();  // outside the lock: the source reads atomics of its own
    return true;
}

}  // namespace trellon
