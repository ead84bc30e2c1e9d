#include "platform/service_manager.h"

namespace trellon::platform {

std::vector<std::string> installedServiceImagePaths() { return {}; }

ServiceRemoval removeService(const std::string&, int& errorCode) {
    errorCode = 0;
    return ServiceRemoval::notFound;
}

}  // namespace trellon::platform
