#include "platform/native_thread.h"

#include <utility>

namespace trellon::platform {

NativeThread::NativeThread(std::function<void()> body) : thread_(std::move(body)) {}

NativeThread::~NativeThread() = default;

NativeThread::NativeThread(NativeThread&& other) noexcept = default;

NativeThread& NativeThread::operator=(NativeThread&& other) noexcept = default;

bool NativeThread::joinable() const noexcept { return thread_.joinable(); }

void NativeThread::join() { thread_.join(); }

void NativeThread::detach() { thread_.detach(); }

bool NativeThread::isCurrent() const noexcept {
    return thread_.joinable() && thread_.get_id() == std::this_thread::get_id();
}

}  // namespace trellon::platform
