// Traffic control on Windows: the Traffic Control API (traffic.dll). The
// process registers as a client at the first add; each flow set is one flow
// with its marking objects and one filter on every traffic-control interface
// of the machine, removed together. The packet scheduler marks whatever
// matches a filter, so sockets need nothing put on them: the socket table is
// kept only to answer tcSocketMarks with what the matching flow marks.
//
// A failed registration means traffic control is not there to use (no
// packet scheduler, or wine, whose traffic.dll fails the registration and
// aborts the process on every other call): the add fails and no further call
// is made. Threads: any; one re-entrant lock guards the client handle and
// both tables and is held across the traffic-control calls, which are quick
// and local.
#include "platform/traffic_control.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/common/traffic_control_rules.h"
#include "platform/win32/tc_flow_data.h"

namespace trellon::platform {

namespace win32 {

TcFlowData buildTcFlow(const TcGenFlow& flow) {
    TcFlowData data;
    const std::size_t objects = flow.tcObjects.size() * sizeof(TcObject);
    data.bytes = offsetof(TC_GEN_FLOW, TcObjects) + objects;
    data.storage.assign((data.bytes + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t), 0);
    TC_GEN_FLOW* out = data.flow();
    auto fill = [](FLOWSPEC& spec, const TcFlowspec& from) {
        spec.TokenRate = from.tokenRate;
        spec.TokenBucketSize = from.tokenBucketSize;
        spec.PeakBandwidth = from.peakBandwidth;
        spec.Latency = from.latency;
        spec.DelayVariation = from.delayVariation;
        spec.ServiceType = from.serviceType;
        spec.MaxSduSize = from.maxSduSize;
        spec.MinimumPolicedSize = from.minimumPolicedSize;
    };
    fill(out->SendingFlowspec, flow.sendingFlowspec);
    fill(out->ReceivingFlowspec, flow.receivingFlowspec);
    out->TcObjectsLength = static_cast<ULONG>(objects);
    unsigned char* tail = reinterpret_cast<unsigned char*>(out) + offsetof(TC_GEN_FLOW, TcObjects);
    for (const TcObject& object : flow.tcObjects) {
        // QOS_TRAFFIC_CLASS and QOS_DS_CLASS: the object header and one ULONG.
        QOS_DS_CLASS marking{};
        marking.ObjectHdr.ObjectType = object.objectType;
        marking.ObjectHdr.ObjectLength = object.objectLength;
        marking.DSField = object.value;
        static_assert(sizeof(QOS_DS_CLASS) == sizeof(TcObject));
        static_assert(sizeof(QOS_TRAFFIC_CLASS) == sizeof(TcObject));
        std::memcpy(tail, &marking, sizeof(marking));
        tail += sizeof(marking);
    }
    return data;
}

std::unique_ptr<TcFilterData> buildTcFilter(const TcGenFilter& filter) {
    auto data = std::make_unique<TcFilterData>();
    auto copy = [](IP_PATTERN& to, const IpPattern& from) {
        to.Reserved1 = from.reserved1;
        to.Reserved2 = from.reserved2;
        to.SrcAddr = from.srcAddr;
        to.DstAddr = from.dstAddr;
        to.S_un.S_un_ports.s_srcport = from.srcPort;
        to.S_un.S_un_ports.s_dstport = from.dstPort;
        to.ProtocolId = from.protocolId;
    };
    copy(data->pattern, filter.pattern);
    copy(data->mask, filter.mask);
    data->filter.AddressType = filter.addressType;
    data->filter.PatternSize = sizeof(IP_PATTERN);
    data->filter.Pattern = &data->pattern;
    data->filter.Mask = &data->mask;
    return data;
}

}  // namespace win32

namespace {

// Handle values passed as the client's contexts.
const HANDLE kClientContext = reinterpret_cast<HANDLE>(1);

struct InterfaceFlow {
    HANDLE interfaceHandle = nullptr;
    HANDLE flowHandle = nullptr;
    HANDLE filterHandle = nullptr;
};

struct FlowSet {
    TcInstalledFlow description;
    std::vector<InterfaceFlow> interfaces;
};

struct AttachedSocket {
    std::uint32_t address = 0;  // network order
    std::uint16_t port = 0;     // host order
    std::optional<TcFlowHandle> flow;
};

struct Tables {
    std::recursive_mutex lock;  // guards everything below and every Tc call
    HANDLE client = INVALID_HANDLE_VALUE;
    TcFlowHandle nextHandle = 1;
    std::vector<FlowSet> flows;  // oldest first
    std::map<NativeSocket, AttachedSocket> sockets;
};

Tables& tables() {
    static Tables* t = new Tables;  // never destroyed: shutdown may deregister late
    return *t;
}

VOID CALLBACK notifyHandler(HANDLE, HANDLE, ULONG event, HANDLE subCode, ULONG bufferSize,
                            PVOID buffer) {
    std::printf("Unexpected notification: Event=%d, SubCode=%p, BufSize=%d, Buffer=%p",
                static_cast<int>(event), static_cast<void*>(subCode), static_cast<int>(bufferSize),
                buffer);
    std::fflush(stdout);
}

TCI_CLIENT_FUNC_LIST& handlerTable() {
    static TCI_CLIENT_FUNC_LIST table{notifyHandler, nullptr, nullptr, nullptr};
    return table;
}

TcError errorFor(ULONG code) {
    return code == ERROR_ACCESS_DENIED || code == ERROR_PRIVILEGE_NOT_HELD ? TcError::accessDenied
                                                                           : TcError::unavailable;
}

// Filters, flows, interfaces, in that order, whichever were obtained.
void release(std::vector<InterfaceFlow>& interfaces) {
    for (InterfaceFlow& i : interfaces) {
        if (i.filterHandle != nullptr) ::TcDeleteFilter(i.filterHandle);
        if (i.flowHandle != nullptr) ::TcDeleteFlow(i.flowHandle);
        if (i.interfaceHandle != nullptr) ::TcCloseInterface(i.interfaceHandle);
    }
    interfaces.clear();
}

// Opens every traffic-control interface; 0 or the failing call's code.
ULONG openInterfaces(HANDLE client, std::vector<InterfaceFlow>& interfaces) {
    std::vector<std::uint64_t> buffer(1);
    ULONG size = 1;
    ULONG rc = 0;
    // The size the system asks for may grow between calls: keep doubling.
    for (int attempt = 0; attempt < 32; ++attempt) {
        buffer.assign((size + 7) / 8 + 1, 0);
        rc = ::TcEnumerateInterfaces(client, &size,
                                     reinterpret_cast<PTC_IFC_DESCRIPTOR>(buffer.data()));
        if (rc != ERROR_INSUFFICIENT_BUFFER) break;
        size = size * 2 > size ? size * 2 : size + 1;
    }
    if (rc != NO_ERROR) return rc;
    const unsigned char* at = reinterpret_cast<const unsigned char*>(buffer.data());
    const unsigned char* end = at + size;
    while (at + sizeof(TC_IFC_DESCRIPTOR) <= end) {
        const auto* descriptor = reinterpret_cast<const TC_IFC_DESCRIPTOR*>(at);
        if (descriptor->Length < sizeof(TC_IFC_DESCRIPTOR) ||
            descriptor->Length > static_cast<std::size_t>(end - at))
            break;
        InterfaceFlow opened;
        rc = ::TcOpenInterfaceW(descriptor->pInterfaceName, client, kClientContext,
                                &opened.interfaceHandle);
        if (rc != NO_ERROR) return rc;
        interfaces.push_back(opened);
        at += descriptor->Length;
    }
    return interfaces.empty() ? ERROR_NOT_FOUND : NO_ERROR;
}

using tc_rules::matches;

}  // namespace

TcFlowHandle tcAddFlow(const TcGenFlow& flow, const TcGenFilter& filter, TcError* error) {
    auto fail = [&](TcError why) {
        if (error) *error = why;
        return kNoFlow;
    };
    if (!tc_rules::wellFormed(flow, filter)) return fail(TcError::badFlow);

    Tables& t = tables();
    std::lock_guard<std::recursive_mutex> guard(t.lock);
    if (t.client == INVALID_HANDLE_VALUE) {
        HANDLE client = INVALID_HANDLE_VALUE;
        const ULONG rc =
            ::TcRegisterClient(CURRENT_TCI_VERSION, kClientContext, &handlerTable(), &client);
        if (rc != NO_ERROR) return fail(errorFor(rc));
        t.client = client;
    }

    win32::TcFlowData flowData = win32::buildTcFlow(flow);
    std::unique_ptr<win32::TcFilterData> filterData = win32::buildTcFilter(filter);
    FlowSet set;
    ULONG rc = openInterfaces(t.client, set.interfaces);
    for (std::size_t i = 0; rc == NO_ERROR && i < set.interfaces.size(); ++i)
        rc = ::TcAddFlow(set.interfaces[i].interfaceHandle, kClientContext, 0, flowData.flow(),
                         &set.interfaces[i].flowHandle);
    for (std::size_t i = 0; rc == NO_ERROR && i < set.interfaces.size(); ++i)
        rc = ::TcAddFilter(set.interfaces[i].flowHandle, &filterData->filter,
                           &set.interfaces[i].filterHandle);
    if (rc != NO_ERROR) {
        // Nothing of a failed add stays installed.
        release(set.interfaces);
        return fail(errorFor(rc));
    }
    set.description = {t.nextHandle++, flow, filter};
    const TcFlowHandle handle = set.description.handle;
    t.flows.push_back(std::move(set));
    if (error) *error = TcError::none;
    return handle;
}

void tcDeleteFlow(TcFlowHandle handle) {
    if (handle == kNoFlow) return;
    Tables& t = tables();
    std::lock_guard<std::recursive_mutex> guard(t.lock);
    for (auto it = t.flows.begin(); it != t.flows.end(); ++it) {
        if (it->description.handle == handle) {
            release(it->interfaces);
            t.flows.erase(it);
            return;
        }
    }
}

void tcDeregisterClient() {
    Tables& t = tables();
    std::lock_guard<std::recursive_mutex> guard(t.lock);
    if (t.client == INVALID_HANDLE_VALUE) return;
    ::TcDeregisterClient(t.client);
    t.client = INVALID_HANDLE_VALUE;
}

bool tcClientRegistered() {
    Tables& t = tables();
    std::lock_guard<std::recursive_mutex> guard(t.lock);
    return t.client != INVALID_HANDLE_VALUE;
}

bool tcAttachSocket(NativeSocket socket, std::uint32_t addressNetworkOrder, std::uint16_t port,
                    std::optional<TcFlowHandle> flow) {
    if (socket == kNoSocket) return false;
    Tables& t = tables();
    std::lock_guard<std::recursive_mutex> guard(t.lock);
    t.sockets[socket] = {addressNetworkOrder, port, flow};
    return true;
}

void tcDetachSocket(NativeSocket socket) {
    Tables& t = tables();
    std::lock_guard<std::recursive_mutex> guard(t.lock);
    t.sockets.erase(socket);
}

std::optional<TcSocketMarks> tcSocketMarks(NativeSocket socket) {
    Tables& t = tables();
    std::lock_guard<std::recursive_mutex> guard(t.lock);
    auto it = t.sockets.find(socket);
    if (it == t.sockets.end()) return std::nullopt;
    const AttachedSocket& s = it->second;
    const TcInstalledFlow* found = nullptr;
    for (auto f = t.flows.rbegin(); f != t.flows.rend() && found == nullptr; ++f) {
        if (s.flow && f->description.handle != *s.flow) continue;
        if (matches(f->description.filter, s.address, s.port)) found = &f->description;
    }
    return found != nullptr ? tc_rules::marksOf(found->flow) : TcSocketMarks{};
}

std::vector<TcInstalledFlow> tcInstalledFlows() {
    Tables& t = tables();
    std::lock_guard<std::recursive_mutex> guard(t.lock);
    std::vector<TcInstalledFlow> out;
    for (const FlowSet& set : t.flows) out.push_back(set.description);
    return out;
}

}  // namespace trellon::platform
