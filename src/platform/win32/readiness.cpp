// Readiness on Winsock: WSAPoll over the watched sockets plus a wake socket
// (a loopback datagram socket connected to itself; wake() sends it a byte).
//
// The class keeps only two integers (the POSIX backend's epoll and eventfd
// descriptors); here set_ numbers an entry in a process-wide table that holds
// the watched sockets. The table lock is taken only to find the entry; each
// entry has its own lock for its watch list, never held across WSAPoll.
#include "platform/readiness.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <map>
#include <memory>
#include <mutex>

#include "platform/socket_error.h"
#include "platform/win32/winsock_start.h"

namespace trellon::platform {

namespace {

struct WaitSet {
    std::mutex lock;  // guards watched
    std::map<NativeSocket, unsigned> watched;
    SOCKET wake = INVALID_SOCKET;
    std::vector<WSAPOLLFD> fds;  // wait()'s scratch; wait runs on one thread
};

struct Table {
    std::mutex lock;  // guards sets and next
    std::map<int, std::unique_ptr<WaitSet>> sets;
    int next = 1;
};

Table& table() {
    static Table* t = new Table;  // never destroyed: a loop may outlive static destruction
    return *t;
}

WaitSet* find(int id) {
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.sets.find(id);
    return it == t.sets.end() ? nullptr : it->second.get();
}

SOCKET makeWakeSocket() {
    SOCKET s =
        ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) return s;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof(local);
    u_long nonBlocking = 1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 ||
        ::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

short pollEvents(unsigned interests) {
    short events = 0;
    if ((interests & Readiness::kReadable) != 0) events |= POLLRDNORM;
    if ((interests & Readiness::kWritable) != 0) events |= POLLWRNORM;
    return events;
}

unsigned readyBits(short revents, unsigned interests) {
    unsigned bits = 0;
    if ((revents & (POLLRDNORM | POLLRDBAND)) != 0) bits |= Readiness::kReadable;
    if ((revents & POLLWRNORM) != 0) bits |= Readiness::kWritable;
    // WSAPoll's POLLHUP is the peer's FIN, which may be only a half close
    // (a client that sent its request and shut its sending side): it reads
    // as end of stream, as a read-hangup does on Linux, and the answer may
    // still go out. It is not the end of both directions that kHangup means.
    if ((revents & POLLHUP) != 0 && (interests & Readiness::kReadable) != 0)
        bits |= Readiness::kReadable;
    if ((revents & (POLLERR | POLLNVAL)) != 0) bits |= Readiness::kError;
    return bits;
}

}  // namespace

Readiness::Readiness() {
    if (!win32::ensureWinsock()) return;
    auto set = std::make_unique<WaitSet>();
    set->wake = makeWakeSocket();
    if (set->wake == INVALID_SOCKET) return;
    Table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    set_ = t.next++;
    if (t.next == INT_MAX) t.next = 1;
    wakeHandle_ = 0;
    t.sets.emplace(set_, std::move(set));
}

Readiness::~Readiness() {
    if (set_ < 0) return;
    std::unique_ptr<WaitSet> set;
    {
        Table& t = table();
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.sets.find(set_);
        if (it == t.sets.end()) return;
        set = std::move(it->second);
        t.sets.erase(it);
    }
    ::closesocket(set->wake);
}

bool Readiness::valid() const {
    return set_ >= 0 && wakeHandle_ >= 0;
}

bool Readiness::watch(NativeSocket handle, unsigned interests) {
    WaitSet* set = find(set_);
    if (set == nullptr || handle == kNoSocket) return false;
    std::lock_guard<std::mutex> guard(set->lock);
    set->watched[handle] = interests;
    return true;
}

void Readiness::forget(NativeSocket handle) {
    WaitSet* set = find(set_);
    if (set == nullptr) return;
    std::lock_guard<std::mutex> guard(set->lock);
    set->watched.erase(handle);
}

int Readiness::wait(std::vector<Event>& events, int timeoutMs) {
    events.clear();
    WaitSet* set = find(set_);
    if (set == nullptr) return -1;
    std::vector<WSAPOLLFD>& fds = set->fds;
    fds.clear();
    {
        std::lock_guard<std::mutex> guard(set->lock);
        fds.reserve(set->watched.size() + 1);
        WSAPOLLFD wake{};
        wake.fd = set->wake;
        wake.events = POLLRDNORM;
        fds.push_back(wake);
        for (const auto& [handle, interests] : set->watched) {
            WSAPOLLFD fd{};
            fd.fd = static_cast<SOCKET>(handle);
            fd.events = pollEvents(interests);
            fds.push_back(fd);
        }
    }
    const int count =
        ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs < 0 ? -1 : timeoutMs);
    if (count < 0) {
        recordSocketErrorFromErrno();
        return ::WSAGetLastError() == WSAEINTR ? 0 : -1;
    }
    if (count == 0) return 0;
    if (fds[0].revents != 0) {
        char drained[64];
        while (::recv(set->wake, drained, sizeof(drained), 0) > 0) {
        }
    }
    std::lock_guard<std::mutex> guard(set->lock);
    for (std::size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        const NativeSocket handle = static_cast<NativeSocket>(fds[i].fd);
        // Forgotten meanwhile (and maybe closed): not ours to report.
        auto it = set->watched.find(handle);
        if (it == set->watched.end()) continue;
        const unsigned bits = readyBits(fds[i].revents, it->second);
        if (bits != 0) events.push_back({handle, bits});
    }
    return static_cast<int>(events.size());
}

void Readiness::wake() {
    WaitSet* set = find(set_);
    if (set == nullptr) return;
    const char byte = 1;
    // A full wake socket already means "awake".
    ::send(set->wake, &byte, 1, 0);
}

int waitFor(NativeSocket handle, unsigned interests, int timeoutMs) {
    WSAPOLLFD fd{};
    fd.fd = static_cast<SOCKET>(handle);
    fd.events = pollEvents(interests);
    const int count = ::WSAPoll(&fd, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (count < 0) {
        recordSocketErrorFromErrno();
        return ::WSAGetLastError() == WSAEINTR ? 0 : -1;
    }
    if (count == 0) return 0;
    return static_cast<int>(readyBits(fd.revents, interests));
}

// Windows does not count sockets against a small per-process limit; this is
// only a ceiling the callers may size their caps by.
int raiseDescriptorLimit() {
    return 65536;
}

}  // namespace trellon::platform
