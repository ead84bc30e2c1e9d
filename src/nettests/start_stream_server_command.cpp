#include "nettests/start_stream_server_command.h"

#include <algorithm>
#include <memory>

#include "http/http_request.h"
#include "lib/agent_state.h"
#include "nettests/remote_agent_status.h"
#include "nettests/request.h"
#include "nettests/stream_packet.h"
#include "platform/net_address.h"
#include "results/running_test_slots.h"
#include "results/test_log.h"
#include "results/test_result.h"

namespace trellon {

namespace {

constexpr const char* kRefused = "0\r\n";

// Plain decimal digits within [low, high]; anything else (a sign, a blank,
// trailing text, too many digits) is nothing.
std::optional<int> strictNumber(const std::string& text, int low, int high) {
    if (text.empty() || text.size() > 9) return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) return std::nullopt;
    return value;
}

// A marking value: in range, or -1 (absent, empty, or anything else).
int marking(const FormVariables& form, const char* name, int high) {
    if (!form.has(name)) return -1;
    return strictNumber(form.get(name), 0, high).value_or(-1);
}

}  // namespace

std::optional<StreamServer::Settings> StartStreamServerCommand::readSettings(
    const FormVariables& form, int maximumTimeLimit) {
    auto port = strictNumber(form.get("port"), 1, 65535);
    auto fromPort = form.get("fromPort").empty() ? std::optional<int>(0)
                                                 : strictNumber(form.get("fromPort"), 0, 65535);
    auto packetSize = strictNumber(form.get("packetSize"), StreamPacket::kMinPacketSize,
                                   StreamPacket::kMaxPacketSize);
    auto flowRate = strictNumber(form.get("flowRate"), 1, kMaxFlowRate);
    auto timeLimit = strictNumber(form.get("timeLimit"), 1, std::max(maximumTimeLimit, 1));
    if (!port || !fromPort || !packetSize || !flowRate || !timeLimit) return std::nullopt;
    StreamServer::Settings settings;
    settings.destinationPort = *port;
    settings.sourcePort = *fromPort;
    settings.packetSize = *packetSize;
    settings.flowRate = *flowRate;
    settings.timeLimit = *timeLimit;
    // Only the server's own progress rows use it: any value is made one
    // they can use.
    settings.reportInterval =
        std::clamp(strictNumber(form.get("reportInterval"), 0, 1000000000).value_or(1), 1, 60);
    settings.dscp = marking(form, "dscp", 63);
    settings.priority = marking(form, "onep", 7);
    return settings;
}

std::string StartStreamServerCommand::startServer(StreamServer::Settings settings,
                                                  std::uint32_t clientAddress) {
    if (clientAddress == 0 || clientAddress == htonl(INADDR_BROADCAST)) return kRefused;
    settings.clientAddress = clientAddress;
    // Taken before the record, so a refused request leaves none behind.
    RunningTestSlot slot = RunningTestSlots::tryAcquire();
    if (!slot) return kRefused;
    TestLog* log = TestLog::instance();
    std::shared_ptr<TestResult> record = log != nullptr ? log->newTestResult() : nullptr;
    if (!record) return kRefused;
    int testId = record->getTestId();
    auto server = std::make_unique<StreamServer>(
        settings, RunningTestSlots::holdWhileRunning(record, std::move(slot)), true);
    std::string reason;
    if (!server->open(&reason)) {
        record->endWithReason("The stream could not be started: " + reason + ".");
        return kRefused;
    }
    server->describe();
    // It frees itself when the stream ends, and is not touched after start().
    server.release()->start();
    return std::to_string(testId) + "\r\nOK\r\n";
}

int StartStreamServerCommand::execute(HttpRequest& request, FormVariables& form,
                                      ResponseBuffer& out) {
    AgentState* agent = AgentState::current();
    int maximum = agent != nullptr ? agent->streamingTimeLimit.load() : 60;
    std::optional<StreamServer::Settings> settings = readSettings(form, maximum);
    const sockaddr_in& peer = request.peerAddress();
    if (!settings || peer.sin_family != AF_INET) {
        out.append(kRefused);
        return 0;
    }
    out.append(startServer(*settings, peer.sin_addr.s_addr));
    return 0;
}

// ---------------------------------------------------------------- asking side

std::string startStreamServerPath(const StreamServerRequest& r) {
    std::string path = "startStreamServer?port=" + std::to_string(r.port) +
                       "&fromPort=" + std::to_string(r.fromPort) +
                       "&packetSize=" + std::to_string(r.packetSize) +
                       "&flowRate=" + std::to_string(r.flowRate) +
                       "&reportInterval=" + std::to_string(r.reportInterval) +
                       "&timeLimit=" + std::to_string(r.timeLimit);
    if (r.dscp >= 0 && r.dscp <= 63) path += "&dscp=" + std::to_string(r.dscp);
    if (r.priority >= 0 && r.priority <= 7) path += "&onep=" + std::to_string(r.priority);
    return path;
}

bool requestStreamServer(const RemoteAgentStatus& remote, const StreamServerRequest& request,
                         int* remoteTestId, std::int64_t* roundTripUs) {
    if (remoteTestId != nullptr) *remoteTestId = 0;
    Request ask(remote.address(), remote.controlPort(), startStreamServerPath(request));
    int got = ask.ask();
    if (roundTripUs != nullptr) *roundTripUs = ask.connectMicroseconds();
    if (got <= 0) return false;
    std::string line;
    if (!ask.readLine(line)) return false;
    // "0" is the refusal; an id is a positive number.
    std::optional<int> id = strictNumber(line, 1, 999999999);
    if (!id) return false;
    if (remoteTestId != nullptr) *remoteTestId = *id;
    return true;
}

}  // namespace trellon
