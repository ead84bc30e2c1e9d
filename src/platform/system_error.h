// The last system error of the calling thread and its message text.
#pragma once

#include <string>

namespace trellon::platform {

int lastSystemError();
std::string systemErrorText(int code);

}  // namespace trellon::platform
