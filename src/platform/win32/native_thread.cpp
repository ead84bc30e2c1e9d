#include "platform/native_thread.h"

#include <windows.h>
#include <process.h>

#include <cerrno>
#include <cstdint>
#include <exception>
#include <memory>
#include <system_error>
#include <utility>

namespace trellon::platform {

namespace {

unsigned __stdcall threadEntry(void* argument) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    try {
        (*body)();
    } catch (...) {
        std::terminate();  // as std::thread does
    }
    return 0;
}

}  // namespace

NativeThread::NativeThread(std::function<void()> body) {
    auto argument = std::make_unique<std::function<void()>>(std::move(body));
    unsigned id = 0;
    const std::uintptr_t handle =
        ::_beginthreadex(nullptr, 0, threadEntry, argument.get(), 0, &id);
    if (handle == 0) {
        const int error = errno;
        throw std::system_error(error != 0 ? error : EAGAIN, std::generic_category(),
                                "_beginthreadex");
    }
    argument.release();  // the new thread owns it now
    handle_ = reinterpret_cast<void*>(handle);
    id_ = id;
}

NativeThread::~NativeThread() {
    if (joinable()) std::terminate();
}

NativeThread::NativeThread(NativeThread&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)), id_(std::exchange(other.id_, 0)) {}

NativeThread& NativeThread::operator=(NativeThread&& other) noexcept {
    if (joinable()) std::terminate();
    handle_ = std::exchange(other.handle_, nullptr);
    id_ = std::exchange(other.id_, 0);
    return *this;
}

bool NativeThread::joinable() const noexcept { return handle_ != nullptr; }

void NativeThread::join() {
    if (!joinable()) throw std::system_error(std::make_error_code(std::errc::invalid_argument));
    if (isCurrent())
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    ::WaitForSingleObject(handle_, INFINITE);
    ::CloseHandle(handle_);
    handle_ = nullptr;
    id_ = 0;
}

void NativeThread::detach() {
    if (!joinable()) throw std::system_error(std::make_error_code(std::errc::invalid_argument));
    ::CloseHandle(handle_);  // the thread runs on without its handle
    handle_ = nullptr;
    id_ = 0;
}

bool NativeThread::isCurrent() const noexcept {
    return joinable() && ::GetCurrentThreadId() == id_;
}

}  // namespace trellon::platform
