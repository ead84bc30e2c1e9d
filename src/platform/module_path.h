// Where the running program lives.
#pragma once

#include <string>

namespace trellon::platform {

// Full path of the running executable, or "" when it cannot be found.
std::string executablePath();

// The folder of the executable, ending in "/" (the agent's working directory).
std::string executableDirectory();

}  // namespace trellon::platform
