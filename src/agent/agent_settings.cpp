// The agent's settings: the parameter table with its defaults, load, save,
// key creation and removal, and the probe of the standard ports at install.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "agent/performance_agent.h"
#include "lib/log.h"
#include "lib/socket.h"
#include "platform/host_name.h"

namespace trellon {

namespace {

struct ParameterRow {
    const char* name;
    const char* defaultText;  // null: not put into the map by the load
};

// In table order; the map is built in this order.
constexpr ParameterRow kParameters[] = {
    {"controlPort", "4044"},
    {"serverTcpPort", "4045"},
    {"streamDestinationUdpPort", "4046"},
    {"reflectorResponsePort", "4047"},
    {"testLogSize", "100"},
    {"authenticated", "OFF"},
    {"useHTTPS", "OFF"},
    {"name", "admin"},
    {"password", ""},
    {"hint", ""},
    {"sampleInvisible", "yes"},
    {"useHtdocs", nullptr},
    {"htdocsPath", nullptr},
    {"responseTimePort", nullptr},
    {"bandwidthPort", nullptr},
    {"streamingClientPort", nullptr},
    {"streamingServerPort", nullptr},
    {"responseTimeLimit", nullptr},
    {"bandwidthTimeLimit", nullptr},
    {"streamingTimeLimit", nullptr},
};

// The C library's text-to-integer conversion: leading digits, else 0.
int decimal(const ParameterMap& map, const char* name) { return std::atoi(map.text(name).c_str()); }

int timeLimit(const ParameterMap& map, const char* name) {
    int value = decimal(map, name);
    return value == 0 ? 60 : value;
}

bool isYes(const std::string& text) { return text == "yes" || text == "true" || text == "ON" || text == "on"; }

// The numeric settings and the values that make sense for them. A value
// outside its range (a port of 70000 would wrap to 4464, a negative time
// limit would refuse every test) is reported and the default used instead.
struct NumberRule {
    const char* name;
    int minimum;
    int maximum;
    int fallback;      // the value used for a text that does not fit
    bool emptyIsZero;  // empty text keeps its table meaning (0; 60 for a time limit), unreported
};

constexpr int kMaxPort = 65535;
constexpr int kMaxTimeLimit = 86400;  // one day
constexpr int kMaxTestLogSize = 10000;

// 0 keeps its meaning: any port for the ports, 60 for the time limits.
constexpr NumberRule kNumberRules[] = {
    {"controlPort", 0, kMaxPort, 4044, true},
    {"serverTcpPort", 0, kMaxPort, 4045, true},
    {"streamDestinationUdpPort", 0, kMaxPort, 4046, true},
    {"reflectorResponsePort", 0, kMaxPort, 4047, true},
    {"testLogSize", 1, kMaxTestLogSize, 100, false},
    {"responseTimePort", 0, kMaxPort, 0, true},
    {"bandwidthPort", 0, kMaxPort, 0, true},
    {"streamingClientPort", 0, kMaxPort, 0, true},
    {"streamingServerPort", 0, kMaxPort, 0, true},
    {"responseTimeLimit", 0, kMaxTimeLimit, 60, true},
    {"bandwidthTimeLimit", 0, kMaxTimeLimit, 60, true},
    {"streamingTimeLimit", 0, kMaxTimeLimit, 60, true},
};

enum class NumberCheck { fits, notANumber, outOfRange };

// The whole text must be one decimal number, blanks around it allowed.
NumberCheck checkNumber(const std::string& text, const NumberRule& rule) {
    std::size_t begin = text.find_first_not_of(" \t");
    std::size_t end = text.find_last_not_of(" \t");
    if (begin == std::string::npos)
        return rule.emptyIsZero ? NumberCheck::fits : NumberCheck::notANumber;
    std::string number = text.substr(begin, end - begin + 1);
    std::size_t at = 0;
    bool negative = false;
    if (number[0] == '+' || number[0] == '-') {
        negative = number[0] == '-';
        at = 1;
    }
    if (at == number.size()) return NumberCheck::notANumber;
    long long value = 0;
    for (; at < number.size(); ++at) {
        char c = number[at];
        if (c < '0' || c > '9') return NumberCheck::notANumber;
        if (value < 1000000000LL) value = value * 10 + (c - '0');  // beyond every maximum already
    }
    if (negative) value = -value;
    return value < rule.minimum || value > rule.maximum ? NumberCheck::outOfRange
                                                        : NumberCheck::fits;
}

// A value from the settings file as the console and the log show it: on one
// line, whatever it holds.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
    return out;
}

void reportBadNumber(const NumberRule& rule, const std::string& text, NumberCheck check) {
    std::string message = "Parameter " + std::string(rule.name) + " = \"" + printable(text) + "\" ";
    if (check == NumberCheck::notANumber) {
        message += "is not a number";
    } else {
        message += "is out of range (" + std::to_string(rule.minimum) + " to " +
                   std::to_string(rule.maximum) + ")";
    }
    message += ", will use default value " + std::to_string(rule.fallback) + "\n";
    logFormatted("%s", message.c_str());
}

// Replaces every numeric text that does not fit its setting by the default,
// so the fields, the start page and a later save all see the value in use.
void checkNumbers(ParameterMap& map) {
    for (const auto& rule : kNumberRules) {
        const ParameterMap::Pair* pair = map.get(rule.name);
        if (pair == nullptr || !pair->value) continue;
        NumberCheck check = checkNumber(*pair->value, rule);
        if (check == NumberCheck::fits) continue;
        reportBadNumber(rule, *pair->value, check);
        map.set(rule.name, std::to_string(rule.fallback));
    }
}

}  // namespace

std::string shownSettingValue(const std::string& name, const std::string& value) {
    if (name == "password") return value.empty() ? std::string() : std::string("********");
    return value;
}

std::mutex& agentFileWriteLock() {
    static std::mutex m;
    return m;
}

void PerformanceAgent::loadSettings() {
    if (initialised_) return;
    initialised_ = true;
    // Windows sockets need starting there; BSD sockets are always ready.

    for (const auto& row : kParameters) {
        if (row.defaultText != nullptr) parameters_.set(row.name, std::string(row.defaultText));
    }

    if (store_.openFullAccess()) {
        for (const auto& row : kParameters) {
            std::string value;
            if (store_.readValue(row.name, value)) {
                parameters_.set(row.name, value);
            } else {
                logFormatted("Parameter %s not found, will use default value\n", row.name);
            }
        }
    }

    checkNumbers(parameters_);

    std::printf("Parameters:\n");
    for (std::size_t i = 0; i < parameters_.count(); ++i) {
        const auto& pair = parameters_.at(i);
        std::printf("  %s = %s\n", pair.name.c_str(),
                    pair.value ? shownSettingValue(pair.name, *pair.value).c_str() : "(null)");
    }
    std::fflush(stdout);

    authenticated.store(parameters_.text("authenticated") == "ON");
    useHTTPS.store(parameters_.text("useHTTPS") == "ON");
    setName(parameters_.text("name"));
    setPassword(parameters_.text("password"));
    setHint(parameters_.text("hint"));
    useHtdocs.store(isYes(parameters_.text("useHtdocs")));
    responseTimePort.store(decimal(parameters_, "responseTimePort"));
    bandwidthPort.store(decimal(parameters_, "bandwidthPort"));
    streamingClientPort.store(decimal(parameters_, "streamingClientPort"));
    // The settings page stores it like the other three; left at 0 it would
    // be lost at every start.
    streamingServerPort.store(decimal(parameters_, "streamingServerPort"));
    responseTimeLimit.store(timeLimit(parameters_, "responseTimeLimit"));
    bandwidthTimeLimit.store(timeLimit(parameters_, "bandwidthTimeLimit"));
    streamingTimeLimit.store(timeLimit(parameters_, "streamingTimeLimit"));
    sampleInvisible.store(isYes(parameters_.text("sampleInvisible")));

    logLine("About to get host name.  This invokes the Windows socket DNS calls which in turn");
    logLine("may cause any security code present (Windows, Norton, Symantec) to block.");
    logLine("If Trellon is not starting and this is the last message in the file then this is your problem.");

    char name[500];
    int rc = platform::getHostName(name, sizeof(name));
    if (rc == 0) {
        setHostName(name);
    } else {
        char problem[100];
        std::snprintf(problem, sizeof(problem), "Problem: gethostname() failed, returns %d\n", rc);
        logFormatted("%s", problem);
        setHostName("unknown");
        std::printf("Call to get host name failed:\n%s\n", problem);
    }
    logFormatted("%s", "Network access succeeded.\n");

    testLogSize.store(decimal(parameters_, "testLogSize"));
    createTestLog(testLogSize.load());
    controlPort.store(decimal(parameters_, "controlPort"));
    serverTcpPort.store(decimal(parameters_, "serverTcpPort"));
    streamDestinationUdpPort.store(decimal(parameters_, "streamDestinationUdpPort"));
    reflectorResponsePort.store(decimal(parameters_, "reflectorResponsePort"));
}

void PerformanceAgent::saveSettings() {
    platform::SettingsValues values;
    std::uint64_t generation = 0;
    {
        std::lock_guard<std::recursive_mutex> guard(settingsLock());
        generation = ++saveGeneration_;
        copySettingsIntoMap();
        for (std::size_t i = 0; i < parameters_.count(); ++i) {
            const auto& pair = parameters_.at(i);
            values.emplace_back(pair.name, pair.value.value_or(""));
        }
    }
    // The file is written outside the settings lock: every request reads
    // the log-in under it, and a write waits on the disk.
    std::lock_guard<std::mutex> writing(agentFileWriteLock());
    if (generation < writtenGeneration_) return;  // newer values are on disk already
    writtenGeneration_ = generation;
    if (!store_.openFullAccess()) {
        logFormatted("%s", "No registry key found.\n");
        return;
    }
    if (!store_.writeValues(values)) {
        for (const auto& [name, value] : values)
            logFormatted("Failed with RegSetValueEx call for %s\n", name.c_str());
    }
}

void PerformanceAgent::copySettingsIntoMap() {
    auto number = [](int value) { return std::to_string(value); };
    parameters_.set("controlPort", number(runningControlPort()));
    parameters_.set("serverTcpPort", number(serverTcpPort.load()));
    parameters_.set("streamDestinationUdpPort", number(streamDestinationUdpPort.load()));
    parameters_.set("reflectorResponsePort", number(reflectorResponsePort.load()));
    parameters_.set("authenticated", std::string(authenticated.load() ? "ON" : "OFF"));
    parameters_.set("useHTTPS", std::string(useHTTPS.load() ? "ON" : "OFF"));
    parameters_.set("name", name());
    parameters_.set("password", password());
    parameters_.set("hint", hint());
    parameters_.set("sampleInvisible", std::string(sampleInvisible.load() ? "yes" : "no"));
    parameters_.set("useHtdocs", std::string(useHtdocs.load() ? "true" : "false"));
    parameters_.set("htdocsPath", htdocsPath());
    parameters_.set("responseTimePort", number(responseTimePort.load()));
    parameters_.set("bandwidthPort", number(bandwidthPort.load()));
    parameters_.set("streamingClientPort", number(streamingClientPort.load()));
    parameters_.set("streamingServerPort", number(streamingServerPort.load()));
    parameters_.set("responseTimeLimit", number(responseTimeLimit.load()));
    parameters_.set("bandwidthTimeLimit", number(bandwidthTimeLimit.load()));
    parameters_.set("streamingTimeLimit", number(streamingTimeLimit.load()));
}

bool PerformanceAgent::createKey() {
    bool created = false;
    bool made = false;
    {
        std::lock_guard<std::mutex> writing(agentFileWriteLock());
        made = store_.create(created);
    }
    if (!made) {
        logFormatted("Failed with RegCreateKeyEx call for %s\n", store_.path().c_str());
        return false;
    }
    if (created) {
        logFormatted("Created new key: %s\n", store_.path().c_str());
    } else {
        logFormatted("Windows thinks there is an existing key but sometimes there is not.  Key: %s\n",
                     store_.path().c_str());
    }
    platform::SettingsValues values;
    for (std::size_t i = 0; i < parameters_.count(); ++i) {
        const auto& pair = parameters_.at(i);
        values.emplace_back(pair.name, pair.value.value_or(""));
    }
    bool written = false;
    {
        std::lock_guard<std::mutex> writing(agentFileWriteLock());
        written = store_.writeValues(values);
    }
    for (const auto& [name, value] : values) {
        if (written) {
            logAddedValue(name, shownSettingValue(name, value));
        } else {
            logFormatted("Failed with RegSetValueEx call for %s\n", name.c_str());
        }
    }
    return written;
}

bool PerformanceAgent::deleteKey() {
    bool removed = false;
    {
        std::lock_guard<std::mutex> writing(agentFileWriteLock());
        removed = store_.remove();
    }
    if (removed) {
        logFormatted("Registry update success: Removed old registry key %s\n", store_.path().c_str());
        return true;
    }
    logLine("Registry update success: Old version of Trellon is not present.");
    return false;
}

bool PerformanceAgent::probeStandardPorts() {
    try {
        TimeoutSocket tcp(1000, false);
        TimeoutSocket udp(1000, true);
        struct Probe {
            Socket* socket;
            int port;
        };
        const Probe probes[] = {{&tcp, 4044}, {&tcp, 4045}, {&udp, 4046}, {&udp, 4047}};
        for (const auto& probe : probes) {
            if (!probe.socket->Probe(probe.port)) {
                logFormatted("Warning: port %d might be in use by another program.  Continuting with startup.\n",
                             probe.port);
            }
        }
        serverTcpPort.store(4045);
        streamDestinationUdpPort.store(4046);
        reflectorResponsePort.store(4047);
        parameters_.set("controlPort", std::string("4044"));
        parameters_.set("serverTcpPort", std::string("4045"));
        parameters_.set("streamDestinationUdpPort", std::string("4046"));
        parameters_.set("reflectorResponsePort", std::string("4047"));
        tcp.Close();
        udp.Close();
        return true;
    } catch (...) {
        std::printf("Unexpected exception while testing port %d.  Trying again.\n", 4044);
        return false;
    }
}

}  // namespace trellon
