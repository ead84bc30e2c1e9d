#include "nettests/qos_marking.h"

#include <algorithm>
#include <cstdio>

#include "lib/address.h"
#include "results/test_result.h"

namespace trellon {

namespace {

// Guarded by the traffic-control lock.
int gTcCount = 0;
std::uint64_t gNextSerial = 1;

std::vector<QosMarking::Flow>& flowTable() {
    static std::vector<QosMarking::Flow> table;
    return table;
}

bool dscpInRange(int dscp) {
    return dscp >= 0 && dscp <= 63;
}
bool priorityInRange(int priority) {
    return priority >= 0 && priority <= 7;
}

constexpr std::uint32_t kMarkingObjectLength = sizeof(platform::TcObject);

// The run command's closing sentence of the explanation, when it has one.
constexpr const char* kVerifySentence =
    "<br>Verify that the remote computer is running Trellon first.";

}  // namespace

std::recursive_mutex& QosMarking::trafficControlLock() {
    static std::recursive_mutex lock;
    return lock;
}

QosMarking::QosMarking(int protocol, std::uint16_t port, int dscp, int priority,
                       std::optional<std::uint32_t> addressNetworkOrder)
    : protocol_(protocol), port_(port), dscp_(dscp), priority_(priority) {
    if (addressNetworkOrder) address_ = formatAddress(*addressNetworkOrder);
    std::lock_guard<std::recursive_mutex> guard(trafficControlLock());
    serial_ = gNextSerial++;
    ++gTcCount;
    std::printf("tcCount=%d (constructor)\n", gTcCount);
    std::fflush(stdout);
}

QosMarking::~QosMarking() {
    std::lock_guard<std::recursive_mutex> guard(trafficControlLock());
    --gTcCount;
    std::printf("tcCount=%d (destructor)\n", gTcCount);
    std::fflush(stdout);
    remove();
    for (platform::NativeSocket socket : sockets_) platform::tcDetachSocket(socket);
}

platform::TcGenFlow QosMarking::buildFlow(int dscp, int priority) {
    platform::TcGenFlow flow;
    flow.sendingFlowspec.serviceType = platform::kServiceTypeBestEffort;
    flow.receivingFlowspec = flow.sendingFlowspec;
    // The 802.1p object goes first, as traffic control lists them.
    if (priorityInRange(priority))
        flow.tcObjects.push_back({platform::kQosObjectTrafficClass, kMarkingObjectLength,
                                  static_cast<std::uint32_t>(priority)});
    if (dscpInRange(dscp))
        flow.tcObjects.push_back(
            {platform::kQosObjectDsClass, kMarkingObjectLength, static_cast<std::uint32_t>(dscp)});
    flow.tcObjectsLength = static_cast<std::uint32_t>(flow.tcObjects.size()) * kMarkingObjectLength;
    return flow;
}

std::optional<platform::TcGenFilter> QosMarking::buildFilter(const std::string& address,
                                                             std::uint16_t port) {
    platform::TcGenFilter filter;
    std::uint32_t destination = 0;
    if (!address.empty() && !parseDottedQuad(address.c_str(), destination)) return std::nullopt;
    filter.pattern.dstAddr = destination;
    filter.pattern.dstPort = htons(port);
    filter.mask.reserved1 = 0xFFFFFFFF;
    filter.mask.reserved2 = 0xFFFFFFFF;
    filter.mask.dstAddr = destination == 0 ? 0 : 0xFFFFFFFF;
    filter.mask.dstPort = port == 0 ? 0 : 0xFFFF;
    return filter;
}

bool QosMarking::install() {
    std::lock_guard<std::recursive_mutex> guard(trafficControlLock());
    if (flow_ != platform::kNoFlow) return true;
    Flow record;
    record.protocol = protocol_;
    record.address = address_;
    record.port = port_;
    record.dscp = dscpInRange(dscp_) ? dscp_ : -1;
    record.priority = priorityInRange(priority_) ? priority_ : -1;
    record.owner = serial_;
    if (record.dscp < 0 && record.priority < 0) return false;
    std::optional<platform::TcGenFilter> filter = buildFilter(address_, port_);
    if (!filter) return false;
    platform::TcError error = platform::TcError::none;
    flow_ = platform::tcAddFlow(buildFlow(dscp_, priority_), *filter, &error);
    refused_ = error == platform::TcError::accessDenied;
    if (flow_ == platform::kNoFlow) return false;
    flowTable().push_back(record);
    return true;
}

void QosMarking::remove() {
    std::lock_guard<std::recursive_mutex> guard(trafficControlLock());
    if (flow_ == platform::kNoFlow) return;
    platform::tcDeleteFlow(flow_);
    flow_ = platform::kNoFlow;
    auto& table = flowTable();
    table.erase(std::remove_if(table.begin(), table.end(),
                               [this](const Flow& f) { return f.owner == serial_; }),
                table.end());
}

bool QosMarking::installed() const {
    std::lock_guard<std::recursive_mutex> guard(trafficControlLock());
    return flow_ != platform::kNoFlow;
}

bool QosMarking::refused() const {
    std::lock_guard<std::recursive_mutex> guard(trafficControlLock());
    return refused_;
}

bool QosMarking::markSocket(platform::NativeSocket socket, std::uint32_t addressNetworkOrder,
                            std::uint16_t port) {
    std::lock_guard<std::recursive_mutex> guard(trafficControlLock());
    if (socket == platform::kNoSocket) return false;
    if (std::find(sockets_.begin(), sockets_.end(), socket) == sockets_.end())
        sockets_.push_back(socket);
    // Tied to this flow (none when it is not installed), so a socket never
    // picks up another test's marking for the same destination.
    return platform::tcAttachSocket(socket, addressNetworkOrder, port, flow_);
}

int QosMarking::count() {
    std::lock_guard<std::recursive_mutex> guard(trafficControlLock());
    return gTcCount;
}

std::vector<QosMarking::Flow> QosMarking::installedFlows() {
    std::lock_guard<std::recursive_mutex> guard(trafficControlLock());
    return flowTable();
}

void QosMarking::deregisterClient() {
    std::lock_guard<std::recursive_mutex> guard(trafficControlLock());
    platform::tcDeregisterClient();
}

std::string markingSentences(int dscp, int priority) {
    std::string text;
    if (dscpInRange(dscp))
        text += "<br>IP DSCP quality of service set to <b>" + std::to_string(dscp) + "</b>.";
    if (priorityInRange(priority)) {
        text += text.empty() ? "<br>" : " ";
        text += "Ethernet 802.1p priority set to <b>" + std::to_string(priority) + "</b>.";
    }
    return text;
}

void reportMarking(TestResult& result, const QosMarking& marking) {
    std::string sentences = markingSentences(marking.dscp(), marking.priority());
    if (sentences.empty()) return;
    if (marking.installed()) {
        // Where the run command used to write it, before its last sentence.
        result.addToExplanation(sentences, kVerifySentence);
        return;
    }
    std::string asked;
    if (dscpInRange(marking.dscp())) asked = "IP DSCP " + std::to_string(marking.dscp());
    if (priorityInRange(marking.priority())) {
        if (!asked.empty()) asked += " and ";
        asked += "Ethernet 802.1p priority " + std::to_string(marking.priority());
    }
    std::string why = marking.refused() ? "the system refused it" : "it could not be set up";
    result.addMessage("<p>The packet marking (" + asked + ") is not in place: " + why +
                      ", so the test traffic is not marked.</p>\n");
}

}  // namespace trellon
