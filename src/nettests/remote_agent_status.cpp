#include "nettests/remote_agent_status.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>

#include "http/templates.h"
#include "lib/address.h"
#include "lib/agent_state.h"
#include "nettests/request.h"
#include "platform/clock.h"
#include "results/test_result.h"

namespace trellon {

namespace {

std::atomic<int> gAgentControlPort{kAgentControlPort};

using CacheClock = std::chrono::steady_clock;

struct Cache {
    std::mutex lock;  // guards records, now and lifetime
    std::map<std::string, std::shared_ptr<RemoteAgentStatus>> records;
    std::function<CacheClock::time_point()> now;  // empty: CacheClock::now
    std::chrono::seconds lifetime = kRemoteAgentStatusLifetime;
};

Cache& cache() {
    static Cache* instance =
        new Cache;  // never destroyed: test threads may outlive static destruction
    return *instance;
}

// The leading decimal integer of a line, as atoi reads it; 0 when there is
// none or when it does not fit in an int.
int readInteger(const std::string& line) {
    std::size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    bool negative = false;
    if (i < line.size() && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
    long long value = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
        value = value * 10 + (line[i] - '0');
        if (value > 2147483647LL) return 0;
    }
    return static_cast<int>(negative ? -value : value);
}

CacheClock::time_point cacheNow() {
    std::function<CacheClock::time_point()> now;
    {
        std::lock_guard<std::mutex> guard(cache().lock);
        now = cache().now;
    }
    return now ? now() : CacheClock::now();
}

}  // namespace

void setRemoteAgentCacheClockForTests(std::function<CacheClock::time_point()> now) {
    std::lock_guard<std::mutex> guard(cache().lock);
    cache().now = std::move(now);
}

void setRemoteAgentStatusLifetimeForTests(std::chrono::seconds lifetime) {
    std::lock_guard<std::mutex> guard(cache().lock);
    cache().lifetime = lifetime;
}

void setAgentControlPortForTests(int port) {
    gAgentControlPort.store(port);
}
int agentControlPort() {
    return gAgentControlPort.load();
}

RemoteAgentStatus::RemoteAgentStatus(std::string host)
    : host_(std::move(host)),
      version_(kProgramVersion),
      controlPort_(agentControlPort()),
      lastReplyTime_(platform::nowSeconds()),
      repliedAt_(cacheNow()) {}

int RemoteAgentStatus::port(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= ports_.size()) return 0;
    return ports_[static_cast<std::size_t>(index)];
}

bool RemoteAgentStatus::query() {
    std::uint32_t address = 0;
    if (!parseDottedQuad(host_.c_str(), address) && !resolveName(host_.c_str(), address)) {
        found_ = false;
        contacted_ = false;
        return false;
    }
    found_ = true;
    address_ = address;
    Request request(host_, controlPort_, "status");
    if (request.ask() <= 0) return false;
    parseStatusReply(request.reply());
    compatible_ = true;
    contacted_ = true;
    lastReplyTime_ = platform::nowSeconds();
    repliedAt_ = cacheNow();
    return true;
}

void RemoteAgentStatus::parseStatusReply(const std::string& reply) {
    std::size_t position = 0;
    std::string line;
    if (Request::readLine(reply, position, line)) version_ = line;
    if (Request::readLine(reply, position, line)) statusWord_ = line;
    ports_.clear();
    while (static_cast<int>(ports_.size()) < kMaxPorts &&
           Request::readLine(reply, position, line) && !line.empty()) {
        int value = readInteger(line);
        // Like the closing 0, a number that names no port ends the list: the
        // tests would otherwise send to it cut to 16 bits, another port.
        if (value < 1 || value > 65535) break;
        ports_.push_back(value);
    }
}

std::shared_ptr<RemoteAgentStatus> findRemoteAgentStatus(const std::string& host) {
    CacheClock::time_point now = cacheNow();
    std::shared_ptr<RemoteAgentStatus> expired;  // freed after the lock is released
    std::lock_guard<std::mutex> guard(cache().lock);
    auto it = cache().records.find(host);
    if (it == cache().records.end()) return nullptr;
    if (now - it->second->repliedAt() < cache().lifetime) return it->second;
    expired = std::move(it->second);
    cache().records.erase(it);
    return nullptr;
}

void cacheRemoteAgentStatus(std::shared_ptr<RemoteAgentStatus> record) {
    if (!record) return;
    std::shared_ptr<RemoteAgentStatus> replaced;  // freed after the lock is released
    std::lock_guard<std::mutex> guard(cache().lock);
    auto& slot = cache().records[record->host()];
    replaced = std::move(slot);
    slot = std::move(record);
}

void forgetRemoteAgentStatus(const std::shared_ptr<RemoteAgentStatus>& record) {
    if (!record) return;
    std::shared_ptr<RemoteAgentStatus> forgotten;  // freed after the lock is released
    std::lock_guard<std::mutex> guard(cache().lock);
    auto it = cache().records.find(record->host());
    if (it == cache().records.end() || it->second != record) return;
    forgotten = std::move(it->second);
    cache().records.erase(it);
}

int remoteAgentCacheSize() {
    std::lock_guard<std::mutex> guard(cache().lock);
    return static_cast<int>(cache().records.size());
}

void emptyRemoteAgentCache() {
    std::map<std::string, std::shared_ptr<RemoteAgentStatus>>
        records;  // freed after the lock is released
    std::lock_guard<std::mutex> guard(cache().lock);
    records.swap(cache().records);
}

bool lookupRemoteControlPort(const std::string& host, int& port) {
    if (auto cached = findRemoteAgentStatus(host)) {
        port = cached->controlPort();
        return true;
    }
    auto record = std::make_shared<RemoteAgentStatus>(host);
    if (!record->query()) return false;
    port = record->controlPort();
    cacheRemoteAgentStatus(std::move(record));
    return true;
}

std::string checkRemoteAgentForRunCommand(const std::string& host, int& controlPort) {
    controlPort = 0;
    if (host.empty()) return "";
    auto record = std::make_shared<RemoteAgentStatus>(host);
    record->query();
    if (!record->contacted()) {
        return "Sorry, but Trellon could not establish communication with another Trellon at that "
               "address.  ";
    }
    if (record->port(0) <= 0) {
        return "Sorry, but the Trellon agent you specified did not respond properly and cannot be "
               "used.  ";
    }
    controlPort = record->controlPort();
    cacheRemoteAgentStatus(std::move(record));
    return "";
}

// The messages are HTML on the results page; the host is what a user typed.
std::shared_ptr<RemoteAgentStatus> checkRemoteAgentForTest(const std::string& host,
                                                           TestResult& result,
                                                           std::string* reason) {
    if (auto cached = findRemoteAgentStatus(host)) return cached;
    auto record = std::make_shared<RemoteAgentStatus>(host);
    record->query();
    std::string why;
    if (!record->found()) {
        why = "Sorry, could not find " + escapeHtml(host);
    } else if (!record->contacted()) {
        why = "Sorry, we can contact " + escapeHtml(host) +
              " but either the port number is wrong or it does not have the software installed.";
    } else {
        cacheRemoteAgentStatus(record);
        return record;
    }
    result.addMessage("<p>" + why + "</p>\n");
    if (reason != nullptr) *reason = why;
    return nullptr;
}

void sendCancelRequest(const std::string& host, TestResult& result, int remoteTestId) {
    try {
        auto record = checkRemoteAgentForTest(host, result);
        if (!record) return;
        std::uint32_t address = record->address();
        Request request(address, record->controlPort(),
                        "cancel?id=" + std::to_string(remoteTestId));
        if (request.ask() > 0) {
            std::string ignored;
            request.readLine(ignored);
        }
    } catch (...) {
        std::fputs("Cancel had an exception, ignoring it...\n", stdout);
        std::fflush(stdout);
    }
}

}  // namespace trellon
