// Services of older agent versions, removed at install. Nothing manages
// services here (the agent runs under systemd from its own unit file), so there
// are no old services to find.
#pragma once

#include <string>
#include <vector>

namespace trellon::platform {

// Image paths of installed services; empty on this platform.
std::vector<std::string> installedServiceImagePaths();

enum class ServiceRemoval { managerUnavailable, notFound, removed, failed };

// Removes the named service; errorCode receives the system error when it fails.
ServiceRemoval removeService(const std::string& name, int& errorCode);

}  // namespace trellon::platform
