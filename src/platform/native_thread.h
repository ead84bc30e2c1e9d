// NativeThread: a thread of the operating system running one function, with
// std::thread's life rules (join or detach it before it is destroyed or
// assigned over; an exception leaving the function ends the program).
//
// On Windows it is made with _beginthreadex: the C++ runtime's thread layer
// there (winpthreads) loses a thread now and then when many are made and
// detached quickly — the new thread starts with a null argument or never
// runs its function.
#pragma once

#include <functional>

#ifndef _WIN32
#include <thread>
#endif

namespace trellon::platform {

class NativeThread {
public:
    NativeThread() noexcept = default;
    // Throws std::system_error when no thread can be made.
    explicit NativeThread(std::function<void()> body);
    ~NativeThread();

    NativeThread(NativeThread&& other) noexcept;
    NativeThread& operator=(NativeThread&& other) noexcept;
    NativeThread(const NativeThread&) = delete;
    NativeThread& operator=(const NativeThread&) = delete;

    bool joinable() const noexcept;
    void join();    // std::system_error from the thread itself or when not joinable
    void detach();  // the thread runs on; nothing waits for it
    bool isCurrent() const noexcept;  // the caller is this thread

private:
#ifdef _WIN32
    void* handle_ = nullptr;
    unsigned id_ = 0;
#else
    std::thread thread_;
#endif
};

}  // namespace trellon::platform
