#include "platform/module_path.h"

#include <windows.h>

#include <vector>

#include "platform/win32/win32_text.h"

namespace trellon::platform {

std::string executablePath() {
    // Long paths do not fit MAX_PATH: grow the buffer while the name is cut.
    std::vector<wchar_t> buffer(MAX_PATH);
    for (int attempt = 0; attempt < 6; ++attempt) {
        const DWORD n =
            ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return "";
        if (n < buffer.size()) return win32::narrow(buffer.data(), n);
        buffer.resize(buffer.size() * 2);
    }
    return "";
}

std::string executableDirectory() {
    std::string path = executablePath();
    auto slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return ".\\";
    return path.substr(0, slash + 1);
}

}  // namespace trellon::platform
