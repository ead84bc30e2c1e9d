#include "platform/common/traffic_control_rules.h"

#include "platform/net_address.h"

namespace trellon::platform::tc_rules {

bool wellFormed(const TcGenFlow& flow, const TcGenFilter& filter) {
    if (flow.tcObjects.empty() || filter.addressType != kNdisProtocolIdTcpIp ||
        filter.patternSize != sizeof(IpPattern))
        return false;
    for (const TcObject& object : flow.tcObjects) {
        if (object.objectType == kQosObjectDsClass && object.value > 63) return false;
        if (object.objectType == kQosObjectTrafficClass && object.value > 7) return false;
    }
    return true;
}

bool matches(const TcGenFilter& filter, std::uint32_t address, std::uint16_t port) {
    const IpPattern& p = filter.pattern;
    const IpPattern& m = filter.mask;
    if ((address & m.dstAddr) != (p.dstAddr & m.dstAddr)) return false;
    return (htons(port) & m.dstPort) == (p.dstPort & m.dstPort);
}

TcSocketMarks marksOf(const TcGenFlow& flow) {
    TcSocketMarks marks;
    for (const TcObject& object : flow.tcObjects) {
        if (object.objectType == kQosObjectDsClass) marks.tos = static_cast<int>(object.value << 2);
        if (object.objectType == kQosObjectTrafficClass)
            marks.priority = static_cast<int>(object.value);
    }
    return marks;
}

}  // namespace trellon::platform::tc_rules
