// Readiness: one thread waits for many sockets at once.
//
// The control port's event loop registers each connection it reads or writes
// and sleeps in wait() until one of them is ready, a deadline comes, or
// another thread calls wake(). Level-triggered: a handle stays reported for
// as long as it is ready. This backend is epoll with an eventfd for wake();
// another system supplies its own behind the same header.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/native_socket.h"

namespace trellon::platform {

class Readiness {
public:
    enum Interest : unsigned { kReadable = 1, kWritable = 2 };
    // Reported besides the interests: the peer hung up or the socket failed.
    enum Condition : unsigned { kHangup = 4, kError = 8 };

    struct Event {
        NativeSocket handle;
        unsigned events;  // Interest and Condition bits
    };

    Readiness();
    ~Readiness();

    Readiness(const Readiness&) = delete;
    Readiness& operator=(const Readiness&) = delete;

    // False when the system refused to make the waiting set.
    bool valid() const;

    // Registers a handle with its interests (or changes them); false on failure.
    bool watch(NativeSocket handle, unsigned interests);
    // Forgets a handle; do this before it is closed.
    void forget(NativeSocket handle);

    // Waits up to timeoutMs (negative: without limit) and fills events with
    // the ready handles. Returns their count; 0 on time-out, on wake() and on
    // an interrupted wait; -1 when waiting failed (the socket error is recorded).
    int wait(std::vector<Event>& events, int timeoutMs);

    // Makes a wait in progress (or the next one) return at once. Any thread.
    void wake();

private:
    int set_ = -1;
    int wakeHandle_ = -1;
};

// Waits up to timeoutMs (negative: without limit) for one handle to become
// ready for the interests. Returns the Interest and Condition bits seen, 0 on
// time-out or an interrupted wait, -1 when waiting failed (error recorded).
int waitFor(NativeSocket handle, unsigned interests, int timeoutMs);

// The most descriptors this process may hold, after raising the soft limit
// as far as the hard limit allows (sockets are descriptors; the default soft
// limit of 1024 is below what a busy control port may hold at once).
int raiseDescriptorLimit();

}  // namespace trellon::platform
