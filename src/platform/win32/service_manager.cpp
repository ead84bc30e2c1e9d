// Services of older agent versions, found and deleted through the service
// control manager.
#include "platform/service_manager.h"

#include <windows.h>

#include <vector>

#include "platform/win32/win32_text.h"

namespace trellon::platform {

namespace {

class ScopedService {
public:
    explicit ScopedService(SC_HANDLE handle) : handle_(handle) {}
    ~ScopedService() {
        if (handle_ != nullptr) ::CloseServiceHandle(handle_);
    }
    ScopedService(const ScopedService&) = delete;
    ScopedService& operator=(const ScopedService&) = delete;
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

std::string imagePathOf(SC_HANDLE manager, const wchar_t* name) {
    ScopedService service(::OpenServiceW(manager, name, SERVICE_QUERY_CONFIG));
    if (service.get() == nullptr) return "";
    DWORD needed = 0;
    ::QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    if (needed == 0 || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return "";
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!::QueryServiceConfigW(service.get(), config, needed, &needed)) return "";
    return config->lpBinaryPathName != nullptr ? win32::narrow(config->lpBinaryPathName) : "";
}

}  // namespace

std::vector<std::string> installedServiceImagePaths() {
    std::vector<std::string> paths;
    ScopedService manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ENUMERATE_SERVICE));
    if (manager.get() == nullptr) return paths;
    std::vector<unsigned char> buffer;
    DWORD needed = 0;
    DWORD count = 0;
    DWORD resume = 0;
    for (int round = 0; round < 64; ++round) {
        const BOOL done = ::EnumServicesStatusExW(
            manager.get(), SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_STATE_ALL,
            buffer.empty() ? nullptr : buffer.data(), static_cast<DWORD>(buffer.size()), &needed,
            &count, &resume, nullptr);
        if (!done && ::GetLastError() != ERROR_MORE_DATA) break;
        const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; !buffer.empty() && i < count; ++i) {
            std::string path = imagePathOf(manager.get(), services[i].lpServiceName);
            if (!path.empty()) paths.push_back(std::move(path));
        }
        if (done) break;
        // More to come: room for the next part (resume keeps the place).
        buffer.assign(needed > buffer.size() ? needed : buffer.size(), 0);
        count = 0;
    }
    return paths;
}

ServiceRemoval removeService(const std::string& name, int& errorCode) {
    errorCode = 0;
    ScopedService manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (manager.get() == nullptr) {
        errorCode = static_cast<int>(::GetLastError());
        return ServiceRemoval::managerUnavailable;
    }
    ScopedService service(::OpenServiceW(manager.get(), win32::widen(name).c_str(), DELETE));
    if (service.get() == nullptr) {
        errorCode = static_cast<int>(::GetLastError());
        return ServiceRemoval::notFound;
    }
    if (!::DeleteService(service.get())) {
        errorCode = static_cast<int>(::GetLastError());
        return ServiceRemoval::failed;
    }
    return ServiceRemoval::removed;
}

}  // namespace trellon::platform
