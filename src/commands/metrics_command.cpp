#include "commands/metrics_command.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

#include "lib/agent_state.h"
#include "nettests/response_reflector.h"
#include "results/test_metrics.h"

namespace trellon {

namespace {

std::string numberText(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[64];
    std::snprintf(text, sizeof(text), "%.17g", value);
    return text;
}

void family(std::string& out, const std::string& name, const char* type, const char* help) {
    out += "# HELP " + name + " " + help + "\n";
    out += "# TYPE " + name + " " + type + "\n";
}

// What each figure of a finished test means, for its HELP line.
const char* helpFor(const std::string& figure) {
    static const std::map<std::string, const char*> kHelp = {
        {"latency_milliseconds", "Mean one-way travel time of the last response test."},
        {"latency_spread_milliseconds",
         "Mean difference of consecutive one-way travel times of the last response test."},
        {"loss_percent", "Packets lost in the last test, in percent."},
        {"bandwidth_bytes_per_second", "Bytes per second of the last bandwidth test."},
        {"jitter_milliseconds", "Average jitter of the last streaming test."},
        {"r_factor", "ITU-T G.107 E-model rating of the last test (G.711)."},
        {"mos", "Mean opinion score of the last test, from its E-model rating."},
        {"finish_time_seconds", "When the last test finished, in seconds since 1970."},
    };
    auto it = kHelp.find(figure);
    return it == kHelp.end() ? "A figure of the last test." : it->second;
}

}  // namespace

std::string MetricsCommand::labelValue(const std::string& text) {
    std::string value;
    value.reserve(text.size());
    for (unsigned char c : text) {
        if (c == '\\' || c == '"') {
            value += '\\';
            value += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7E) {
            value += '_';
        } else {
            value += static_cast<char>(c);
        }
    }
    return value;
}

std::string MetricsCommand::exposition() {
    std::string out;
    AgentState* agent = AgentState::current();
    family(out, "trellon_tests_run_total", "counter", "Test threads created since the start.");
    out +=
        "trellon_tests_run_total " + std::to_string(agent ? agent->testsCreated.load() : 0) + "\n";
    family(out, "trellon_tests_in_progress", "gauge", "Tests running now.");
    out += "trellon_tests_in_progress " + std::to_string(agent ? agent->testsRunning.load() : 0) +
           "\n";
    TestMetrics::ReflectorCounts counts;
    bool haveCounts = TestMetrics::instance().reflectorCounts(counts);
    // The agent's own reflector; it outlives the HTTP server, so it cannot
    // go while a request reads it.
    if (const ResponseReflector* reflector = haveCounts ? nullptr : ResponseReflector::current()) {
        const ReflectorCounters& c = reflector->counters();
        counts.answered = c.sent.load();
        counts.dropped = c.tooShort.load() + c.tooLong.load() + c.notProbes.load() +
                         c.sendFailed.load() + reflector->queue().dropped();
        haveCounts = true;
    }
    if (haveCounts) {
        family(out, "trellon_reflector_probes_answered_total", "counter",
               "Probes the response reflector answered.");
        out += "trellon_reflector_probes_answered_total " + std::to_string(counts.answered) + "\n";
        family(out, "trellon_reflector_probes_dropped_total", "counter",
               "Datagrams the response reflector received and did not answer.");
        out += "trellon_reflector_probes_dropped_total " + std::to_string(counts.dropped) + "\n";
    }
    // One family per figure, every series of it together, as the format asks.
    std::map<std::string, std::vector<std::string>> families;
    for (const TestMetrics::Series& s : TestMetrics::instance().series()) {
        std::string labels =
            "{type=\"" + labelValue(s.type) + "\",remote=\"" + labelValue(s.remote) + "\"}";
        families["finish_time_seconds"].push_back(labels + " " + std::to_string(s.finishTime));
        for (const auto& [figure, value] : s.figures)
            families[figure].push_back(labels + " " + numberText(value));
    }
    for (const auto& [figure, samples] : families) {
        std::string name = "trellon_last_" + figure;
        family(out, name, "gauge", helpFor(figure));
        for (const std::string& sample : samples) out += name + sample + "\n";
    }
    return out;
}

int MetricsCommand::execute(HttpRequest&, FormVariables&, ResponseBuffer& out) {
    std::string body = exposition();
    out.append(
        "HTTP/1.0 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n");
    out.append(body);
    return 0;
}

}  // namespace trellon
