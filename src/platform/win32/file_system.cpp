#include "platform/file_system.h"

#include <windows.h>

#include "platform/win32/win32_text.h"

namespace trellon::platform {

namespace {

constexpr std::uint64_t kFileTimeTo1970 = 116444736000000000ULL;

}  // namespace

FileKind fileKind(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(win32::widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return FileKind::missing;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::directory;
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return FileKind::other;
    return FileKind::regular;
}

std::int64_t modificationTime(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(win32::widen(path).c_str(), GetFileExInfoStandard, &data))
        return -1;
    const std::uint64_t units =
        (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
        data.ftLastWriteTime.dwLowDateTime;
    if (units < kFileTimeTo1970) return 0;
    return static_cast<std::int64_t>((units - kFileTimeTo1970) / 10000000ULL);
}

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    std::wstring pattern = win32::widen(path);
    if (pattern.empty()) return names;
    if (pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        names.push_back(win32::narrow(name));
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

std::string canonicalPath(const std::string& path) {
    const std::wstring wide = win32::widen(path);
    if (wide.empty()) return "";
    // Opening the file (folders need backup semantics) both proves it exists
    // and lets the system resolve links and "..", as realpath does.
    win32::ScopedHandle file(::CreateFileW(
        wide.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid()) return "";
    wchar_t buffer[MAX_PATH * 4];
    DWORD n = ::GetFinalPathNameByHandleW(file.get(), buffer, MAX_PATH * 4, FILE_NAME_NORMALIZED);
    std::wstring resolved;
    if (n > 0 && n < MAX_PATH * 4) {
        resolved.assign(buffer, n);
        // "\\?\C:\..." to "C:\...", "\\?\UNC\server\..." to "\\server\...".
        if (resolved.rfind(L"\\\\?\\UNC\\", 0) == 0)
            resolved = L"\\\\" + resolved.substr(8);
        else if (resolved.rfind(L"\\\\?\\", 0) == 0)
            resolved = resolved.substr(4);
    } else {
        n = ::GetFullPathNameW(wide.c_str(), MAX_PATH * 4, buffer, nullptr);
        if (n == 0 || n >= MAX_PATH * 4) return "";
        resolved.assign(buffer, n);
    }
    // One separator in canonical paths: the callers compare them by prefix
    // with "/" (a folder and what lies below it), and every Windows call
    // takes "/" as well as "\\".
    for (wchar_t& c : resolved)
        if (c == L'\\') c = L'/';
    return win32::narrow(resolved);
}

}  // namespace trellon::platform
