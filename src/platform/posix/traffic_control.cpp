// Traffic control on POSIX: the flows live in a table here and their marking
// is put on the sockets that carry the matching traffic (IP_TOS and
// SO_PRIORITY). See traffic_control.h.
#include "platform/traffic_control.h"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "platform/common/traffic_control_rules.h"

namespace trellon::platform {

namespace {

// Linux lets anyone set priorities 0-6; above that needs CAP_NET_ADMIN.
constexpr std::uint32_t kHighestFreePriority = 6;

struct AttachedSocket {
    std::uint32_t address = 0;  // network order
    std::uint16_t port = 0;     // host order
    std::optional<TcFlowHandle> flow;
    TcSocketMarks marks;  // what is on the socket now
};

struct Tables {
    std::mutex lock;  // guards everything below
    bool registered = false;
    TcFlowHandle nextHandle = 1;
    std::vector<TcInstalledFlow> flows;  // oldest first
    std::map<int, AttachedSocket> sockets;
};

Tables& tables() {
    static Tables t;
    return t;
}

using tc_rules::marksOf;
using tc_rules::matches;

const TcInstalledFlow* flowFor(const Tables& t, const AttachedSocket& s) {
    if (s.flow) {
        for (const TcInstalledFlow& f : t.flows)
            if (f.handle == *s.flow) return matches(f.filter, s.address, s.port) ? &f : nullptr;
        return nullptr;
    }
    for (auto it = t.flows.rbegin(); it != t.flows.rend(); ++it)
        if (matches(it->filter, s.address, s.port)) return &*it;
    return nullptr;
}

bool setMarks(int socket, const TcSocketMarks& marks) {
    int tos = marks.tos;
    int priority = marks.priority;
    // TOS first: on Linux setting IP_TOS also sets the socket priority from
    // the TOS bits, which the explicit SO_PRIORITY below then overrides.
    bool ok = ::setsockopt(socket, IPPROTO_IP, IP_TOS, &tos, sizeof(tos)) == 0;
    ok = ::setsockopt(socket, SOL_SOCKET, SO_PRIORITY, &priority, sizeof(priority)) == 0 && ok;
    return ok;
}

// Puts the socket's marking in place; a refused marking leaves it unmarked
// rather than half marked. Caller holds the lock.
bool apply(Tables& t, int socket, AttachedSocket& s) {
    const TcInstalledFlow* flow = flowFor(t, s);
    TcSocketMarks wanted = flow ? marksOf(flow->flow) : TcSocketMarks{};
    if (wanted.tos == s.marks.tos && wanted.priority == s.marks.priority) return true;
    if (setMarks(socket, wanted)) {
        s.marks = wanted;
        return true;
    }
    setMarks(socket, TcSocketMarks{});
    s.marks = TcSocketMarks{};
    return false;
}

void reapplyAll(Tables& t) {
    for (auto& [socket, s] : t.sockets) apply(t, socket, s);
}

// Whether the kernel lets this process use the priority: a throwaway socket
// asks, since capabilities are the process's, not the socket's.
bool priorityAllowed(std::uint32_t priority) {
    if (priority <= kHighestFreePriority) return true;
    int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return false;
    int value = static_cast<int>(priority);
    bool ok = ::setsockopt(probe, SOL_SOCKET, SO_PRIORITY, &value, sizeof(value)) == 0;
    ::close(probe);
    return ok;
}

}  // namespace

TcFlowHandle tcAddFlow(const TcGenFlow& flow, const TcGenFilter& filter, TcError* error) {
    auto fail = [&](TcError why) {
        if (error) *error = why;
        return kNoFlow;
    };
    if (!tc_rules::wellFormed(flow, filter)) return fail(TcError::badFlow);
    for (const TcObject& object : flow.tcObjects) {
        if (object.objectType == kQosObjectTrafficClass && !priorityAllowed(object.value))
            return fail(TcError::accessDenied);
    }
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.lock);
    t.registered = true;
    TcInstalledFlow installed{t.nextHandle++, flow, filter};
    t.flows.push_back(installed);
    reapplyAll(t);
    if (error) *error = TcError::none;
    return installed.handle;
}

void tcDeleteFlow(TcFlowHandle handle) {
    if (handle == kNoFlow) return;
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.lock);
    for (auto it = t.flows.begin(); it != t.flows.end(); ++it) {
        if (it->handle == handle) {
            t.flows.erase(it);
            break;
        }
    }
    reapplyAll(t);
}

void tcDeregisterClient() {
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.lock);
    t.registered = false;
}

bool tcClientRegistered() {
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.registered;
}

bool tcAttachSocket(NativeSocket socket, std::uint32_t addressNetworkOrder, std::uint16_t port,
                    std::optional<TcFlowHandle> flow) {
    if (socket < 0) return false;
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.lock);
    AttachedSocket& s = t.sockets[socket];
    s.address = addressNetworkOrder;
    s.port = port;
    s.flow = flow;
    return apply(t, socket, s);
}

void tcDetachSocket(NativeSocket socket) {
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.sockets.find(socket);
    if (it == t.sockets.end()) return;
    if (it->second.marks.tos != 0 || it->second.marks.priority != 0)
        setMarks(socket, TcSocketMarks{});
    t.sockets.erase(it);
}

std::optional<TcSocketMarks> tcSocketMarks(NativeSocket socket) {
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.sockets.find(socket);
    if (it == t.sockets.end()) return std::nullopt;
    return it->second.marks;
}

std::vector<TcInstalledFlow> tcInstalledFlows() {
    Tables& t = tables();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.flows;
}

}  // namespace trellon::platform
