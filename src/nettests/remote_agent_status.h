// What this agent knows about other agents, and the agent-to-agent requests
// made on their control port.
//
// A RemoteAgentStatus is filled by one status query on the thread that made
// it and is read-only once it is in the process-wide cache, so the cache can
// hand the same record to any number of test threads and web commands. The
// cache maps the host text, as typed, to the record of its last successful
// query; it is guarded by its own mutex, never held across a request. Records
// are shared: a run command replacing a host's record does not pull it from
// under a test thread still using the old one. The agent empties the cache
// at shutdown.
//
// Entries expire (kRemoteAgentStatusLifetime after the reply): an agent that
// restarts on other ports must not be sent test traffic on its old ones for
// the rest of our life. An expired entry is dropped when looked up, and the
// next test asks the remote agent again.
//
// Requests always go to port 4044, the control port's default, whatever the
// remote agent's own setting says (tests change it: they cannot own 4044).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace trellon {

class Request;
class TestResult;

constexpr int kAgentControlPort = 4044;
constexpr std::chrono::seconds kRemoteAgentStatusLifetime{60};

class RemoteAgentStatus {
public:
    static constexpr int kMaxPorts = 10;

    explicit RemoteAgentStatus(std::string host);

    // Resolves the host and asks it for "status"; true when a reply was read.
    bool query();
    // Takes the version, the status word and the ports from the bytes of a
    // status reply.
    void parseStatusReply(const std::string& reply);

    const std::string& host() const { return host_; }
    const std::string& version() const { return version_; }
    const std::string& statusWord() const { return statusWord_; }
    int controlPort() const { return controlPort_; }
    std::int64_t lastReplyTime() const { return lastReplyTime_; }
    // When the reply was read, on the cache's clock (for expiry).
    std::chrono::steady_clock::time_point repliedAt() const { return repliedAt_; }
    // The ports the reply listed, at most kMaxPorts; port(i) is 0 past the end.
    const std::vector<int>& ports() const { return ports_; }
    int port(int index) const;
    int dataSinkPort() const { return port(0); }
    int streamPort() const { return port(1); }
    int reflectorPort() const { return port(2); }
    bool found() const { return found_; }
    bool contacted() const { return contacted_; }
    bool compatible() const { return compatible_; }
    std::uint32_t address() const { return address_; }  // network order

private:
    std::string host_;
    std::string version_;
    std::string statusWord_;
    int controlPort_;
    std::int64_t lastReplyTime_;
    std::chrono::steady_clock::time_point repliedAt_;
    std::vector<int> ports_;
    bool found_ = false;
    bool contacted_ = false;
    bool compatible_ = false;
    std::uint32_t address_ = 0;
};

// The cache. A record put in for a host that has one replaces it; a record
// older than the lifetime is not found (and is dropped).
std::shared_ptr<RemoteAgentStatus> findRemoteAgentStatus(const std::string& host);
void cacheRemoteAgentStatus(std::shared_ptr<RemoteAgentStatus> record);
// Drops the host's entry if it is still this record (a newer one stays).
void forgetRemoteAgentStatus(const std::shared_ptr<RemoteAgentStatus>& record);
int remoteAgentCacheSize();
// Frees every cached remote-agent status (agent shutdown).
void emptyRemoteAgentCache();

// The control port of a host's agent: from the cache, else from a new query
// (cached when it succeeds). False when the host's agent cannot be reached.
bool lookupRemoteControlPort(const std::string& host, int& port);

// The run commands' check, always asking afresh: the empty text when the
// agent can be used (its control port is given back and its record cached),
// else the reason. An empty host is accepted at once with port 0.
std::string checkRemoteAgentForRunCommand(const std::string& host, int& controlPort);

// A running test's check, answered from the cache when it can be: the
// record, or null with the reason added to the test's result as a message
// (and, without its paragraph, given in *reason for the record's final text).
std::shared_ptr<RemoteAgentStatus> checkRemoteAgentForTest(const std::string& host,
                                                           TestResult& result,
                                                           std::string* reason = nullptr);

// Asks the host's agent to cancel its test remoteTestId; the reply is not
// looked at. Never throws.
void sendCancelRequest(const std::string& host, TestResult& result, int remoteTestId);

// The startStreamServer request of the streaming test joins these.

// Tests only: the port the requests above go to (kAgentControlPort normally).
void setAgentControlPortForTests(int port);
int agentControlPort();

// Tests only: the clock the cache ages its entries by (steady_clock::now
// normally; an empty function puts it back), and the lifetime.
void setRemoteAgentCacheClockForTests(std::function<std::chrono::steady_clock::time_point()> now);
void setRemoteAgentStatusLifetimeForTests(std::chrono::seconds lifetime);

}  // namespace trellon
