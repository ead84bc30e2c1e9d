// Narrow and wide text at the Windows calls. The agent's texts are narrow
// multibyte strings in the ANSI code page, as the C library's own file
// functions take them, so a path that fopen opens is the path the wide calls
// see too.
#pragma once

#include <windows.h>

#include <string>

namespace trellon::platform::win32 {

inline std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    const int length =
        ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                          length);
    return wide;
}

inline std::string narrow(const wchar_t* text, std::size_t size) {
    if (size == 0) return {};
    const int length = ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(size), nullptr, 0,
                                             nullptr, nullptr);
    if (length <= 0) return {};
    std::string out(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(size), out.data(), length, nullptr,
                          nullptr);
    return out;
}

inline std::string narrow(const std::wstring& text) {
    return narrow(text.data(), text.size());
}

// Closes a kernel handle when it goes out of scope.
class ScopedHandle {
public:
    ScopedHandle() = default;
    explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
    ~ScopedHandle() { reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() {
        HANDLE h = handle_;
        handle_ = nullptr;
        return h;
    }
    void reset(HANDLE handle = nullptr) {
        if (valid()) ::CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

// Whether this program runs under wine (its ntdll exports wine_get_version).
// Wine's traffic control is a stub that aborts the process on most calls.
inline bool runningUnderWine() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace trellon::platform::win32
