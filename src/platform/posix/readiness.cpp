#include "platform/readiness.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "platform/socket_error.h"

namespace trellon::platform {

Readiness::Readiness() {
    set_ = ::epoll_create1(EPOLL_CLOEXEC);
    wakeHandle_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (set_ >= 0 && wakeHandle_ >= 0) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = wakeHandle_;
        if (::epoll_ctl(set_, EPOLL_CTL_ADD, wakeHandle_, &event) != 0) {
            ::close(wakeHandle_);
            wakeHandle_ = -1;
        }
    }
    if (set_ < 0 || wakeHandle_ < 0) recordSocketErrorFromErrno();
}

Readiness::~Readiness() {
    if (wakeHandle_ >= 0) ::close(wakeHandle_);
    if (set_ >= 0) ::close(set_);
}

bool Readiness::valid() const {
    return set_ >= 0 && wakeHandle_ >= 0;
}

bool Readiness::watch(NativeSocket handle, unsigned interests) {
    epoll_event event{};
    event.events = ((interests & kReadable) != 0 ? EPOLLIN | EPOLLRDHUP : 0u) |
                   ((interests & kWritable) != 0 ? EPOLLOUT : 0u);
    event.data.fd = handle;
    if (::epoll_ctl(set_, EPOLL_CTL_MOD, handle, &event) == 0) return true;
    if (errno == ENOENT && ::epoll_ctl(set_, EPOLL_CTL_ADD, handle, &event) == 0) return true;
    recordSocketErrorFromErrno();
    return false;
}

void Readiness::forget(NativeSocket handle) {
    epoll_event unused{};
    ::epoll_ctl(set_, EPOLL_CTL_DEL, handle, &unused);
}

int Readiness::wait(std::vector<Event>& events, int timeoutMs) {
    events.clear();
    epoll_event ready[256];
    int count = ::epoll_wait(set_, ready, 256, timeoutMs < 0 ? -1 : timeoutMs);
    if (count < 0) {
        if (errno == EINTR) return 0;
        recordSocketErrorFromErrno();
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        if (ready[i].data.fd == wakeHandle_) {
            std::uint64_t drained = 0;
            while (::read(wakeHandle_, &drained, sizeof(drained)) > 0) {
            }
            continue;
        }
        unsigned bits = 0;
        if ((ready[i].events & (EPOLLIN | EPOLLRDHUP)) != 0) bits |= kReadable;
        if ((ready[i].events & EPOLLOUT) != 0) bits |= kWritable;
        if ((ready[i].events & EPOLLHUP) != 0) bits |= kHangup;
        if ((ready[i].events & EPOLLERR) != 0) bits |= kError;
        events.push_back({ready[i].data.fd, bits});
    }
    return static_cast<int>(events.size());
}

void Readiness::wake() {
    std::uint64_t one = 1;
    // A full counter already means "awake"; nothing more to do then.
    [[maybe_unused]] ssize_t n = ::write(wakeHandle_, &one, sizeof(one));
}

int waitFor(NativeSocket handle, unsigned interests, int timeoutMs) {
    pollfd pfd{handle,
               static_cast<short>(((interests & Readiness::kReadable) != 0 ? POLLIN : 0) |
                                  ((interests & Readiness::kWritable) != 0 ? POLLOUT : 0)),
               0};
    int ready = ::poll(&pfd, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (ready < 0) {
        if (errno == EINTR) return 0;
        recordSocketErrorFromErrno();
        return -1;
    }
    if (ready == 0) return 0;
    int bits = 0;
    if ((pfd.revents & POLLIN) != 0) bits |= Readiness::kReadable;
    if ((pfd.revents & POLLOUT) != 0) bits |= Readiness::kWritable;
    if ((pfd.revents & POLLHUP) != 0) bits |= Readiness::kHangup;
    if ((pfd.revents & (POLLERR | POLLNVAL)) != 0) bits |= Readiness::kError;
    return bits;
}

int raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        // Far beyond what the agent holds; an unlimited hard limit is not a goal.
        constexpr rlim_t kEnough = 65536;
        raised.rlim_cur = limit.rlim_max < kEnough ? limit.rlim_max : kEnough;
        if (raised.rlim_cur > limit.rlim_cur && ::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur > static_cast<rlim_t>(INT_MAX) ? INT_MAX
                                                         : static_cast<int>(limit.rlim_cur);
}

}  // namespace trellon::platform
