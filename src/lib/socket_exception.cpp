#include "lib/socket_exception.h"

#include <cstdio>

namespace trellon {

std::string SocketException::description() const {
    return std::string("Socket exception ") + (severity_ == 1 ? "(error) " : "(warning) ") + message_ +
           " (Error " + std::to_string(code_) + ")\n";
}

void SocketException::print() const {
    std::string text = description();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace trellon
