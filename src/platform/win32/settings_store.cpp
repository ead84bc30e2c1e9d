// The settings store on Windows: one registry key below HKEY_LOCAL_MACHINE
// with REG_SZ values. path() is the key's path below HKLM (the agent's own
// key unless TRELLON_SETTINGS names another, as tests do).
//
// Each value is written by one RegSetValueExW, which the registry makes
// atomic: a crash in the middle of a save can leave some values new and the
// others old, never a value half written.
#include "platform/settings_store.h"

#include "platform/common/settings_detail.h"

// clang-format off
#include <windows.h>
#include <shlwapi.h>
// clang-format on

#include <cstdlib>
#include <mutex>

#include "platform/win32/win32_text.h"

namespace trellon::platform {

namespace {

// What the reader's buffer holds: 256 bytes of wide characters, so 127
// characters and the terminator.
constexpr DWORD kValueBufferBytes = 256;

class ScopedKey {
public:
    ScopedKey() = default;
    ~ScopedKey() {
        if (key_ != nullptr) ::RegCloseKey(key_);
    }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

// A trailing backslash names the same key; RegCreateKeyExW refuses none but
// is clearer without it.
std::wstring keyPath(const std::string& path) {
    std::wstring wide = win32::widen(path);
    while (!wide.empty() && wide.back() == L'\\') wide.pop_back();
    return wide;
}

}  // namespace

std::string SettingsStore::defaultPath() {
    const char* env = std::getenv("TRELLON_SETTINGS");
    if (env != nullptr && *env != '\0') return env;
    return "Software\\Kestrova\\ostrand\\agent\\";
}

bool SettingsStore::openFullAccess() const {
    ScopedKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath(path_).c_str(), 0, KEY_ALL_ACCESS,
                           key.out()) == ERROR_SUCCESS;
}

// Values are read one by one from the key; the whole-key read is not needed.
bool SettingsStore::readAll(SettingsValues&) const {
    return false;
}

bool SettingsStore::readValue(const std::string& name, std::string& value) const {
    ScopedKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath(path_).c_str(), 0, KEY_QUERY_VALUE,
                        key.out()) != ERROR_SUCCESS)
        return false;
    wchar_t buffer[kValueBufferBytes / sizeof(wchar_t)] = {};
    DWORD type = 0;
    DWORD bytes = kValueBufferBytes;
    if (::RegQueryValueExW(key.get(), win32::widen(name).c_str(), nullptr, &type,
                           reinterpret_cast<BYTE*>(buffer), &bytes) != ERROR_SUCCESS)
        return false;  // ERROR_MORE_DATA: 128 characters or more
    if (type != REG_SZ) return false;
    std::size_t length = bytes / sizeof(wchar_t);
    // Stored with or without its terminator; a full buffer without one is
    // a value of 128 characters, which does not fit.
    if (length > 0 && buffer[length - 1] == L'\0') {
        --length;
    } else if (length == std::size(buffer)) {
        return false;
    }
    value = win32::narrow(buffer, length);
    return true;
}

bool SettingsStore::writeValues(const SettingsValues& values) const {
    {
        if (!settings_detail::beforeSave()) return false;
    }
    ScopedKey key;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath(path_).c_str(), 0, nullptr,
                          REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.out(),
                          nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = true;
    for (const auto& [name, text] : values) {
        const std::wstring wide = win32::widen(text);
        const DWORD bytes = static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t));
        ok =
            ::RegSetValueExW(key.get(), win32::widen(name).c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(wide.c_str()), bytes) == ERROR_SUCCESS &&
            ok;
    }
    return ok;
}

bool SettingsStore::create(bool& created) const {
    created = false;
    ScopedKey key;
    DWORD disposition = 0;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath(path_).c_str(), 0, nullptr,
                          REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key.out(),
                          &disposition) != ERROR_SUCCESS)
        return false;
    created = disposition == REG_CREATED_NEW_KEY;
    return true;
}

// The key with every value and subkey below it.
bool SettingsStore::remove() const {
    const std::wstring path = keyPath(path_);
    if (path.empty()) return false;  // never HKLM itself
    return ::SHDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str()) == ERROR_SUCCESS;
}

}  // namespace trellon::platform
