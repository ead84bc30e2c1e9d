#include "platform/module_path.h"

#include <limits.h>
#include <unistd.h>

namespace trellon::platform {

std::string executablePath() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) return "";
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::string executableDirectory() {
    std::string path = executablePath();
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return "./";
    return path.substr(0, slash + 1);
}

}  // namespace trellon::platform
