// The exception that socket failures on test paths throw (by value). The
// thread frames and the test threads catch it and print its description.
#pragma once

#include <string>

namespace trellon {

class SocketException {
public:
    SocketException(std::string message, int code) : severity_(1), code_(code), message_(std::move(message)) {}

    int severity() const { return severity_; }  // 1 error, 0 warning
    int code() const { return code_; }
    const std::string& message() const { return message_; }

    // "Socket exception (error) <message> (Error <code>)" and a line end.
    std::string description() const;
    void print() const;  // the description on the console

private:
    int severity_;
    int code_;
    std::string message_;
};

}  // namespace trellon
