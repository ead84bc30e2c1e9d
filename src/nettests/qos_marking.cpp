#include "nettests/qos_marking.h"

#include <algorithm>
#include <cstdio>

#include "lib/address.h"

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
}

QosMarking::~QosMarking() {
    std::lock_guard<std::recursive_mutex> guard(trafficControlLock());
    --gTcCount;
    std::printf("tcCount=%d (destructor)\n", gTcCount);
    remove();
}

bool QosMarking::install() {
    std::lock_guard<std::recursive_mutex> guard(trafficControlLock());
    if (installed_) return true;
    Flow flow;
    flow.protocol = protocol_;
    flow.address = address_;
    flow.port = port_;
    flow.dscp = dscpInRange(dscp_) ? dscp_ : -1;
    flow.priority = priorityInRange(priority_) ? priority_ : -1;
    flow.owner = serial_;
    if (flow.dscp < 0 && flow.priority < 0) return false;
    flowTable().push_back(flow);
    installed_ = true;
    return true;
}

void QosMarking::remove() {
    std::lock_guard<std::recursive_mutex> guard(trafficControlLock());
    if (!installed_) return;
    auto& table = flowTable();
    table.erase(std::remove_if(table.begin(), table.end(),
                               [this](const Flow& f) { return f.owner == serial_; }),
                table.end());
    installed_ = false;
}

bool QosMarking::installed() const {
    std::lock_guard<std::recursive_mutex> guard(trafficControlLock());
    return installed_;
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
}

}  // namespace trellon
