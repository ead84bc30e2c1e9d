// HttpCommand: everything the agent does on request beyond serving a static
// document. The server owns one object per command, created at server
// construction and shared by all request threads: execute keeps per-request
// data in its arguments, never in the command.
#pragma once

#include <string>

#include "http/form_variables.h"
#include "http/response_buffer.h"

namespace trellon {

class HttpRequest;

class HttpCommand {
public:
    // standardHeaders: the request handler sends the header block before the
    // command's output; otherwise the output is sent bare (agent-to-agent replies).
    explicit HttpCommand(std::string name, bool standardHeaders = true)
        : name_(std::move(name)), standardHeaders_(standardHeaders) {}
    virtual ~HttpCommand() = default;

    HttpCommand(const HttpCommand&) = delete;
    HttpCommand& operator=(const HttpCommand&) = delete;

    virtual int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) = 0;

    const std::string& name() const { return name_; }
    bool standardHeaders() const { return standardHeaders_; }

    // Whether executing may wait on other computers (a name to resolve, a
    // remote agent to ask, a child process to start): such commands may not
    // take every request thread, so pages, status and cancel always find one.
    virtual bool mayWaitOnTheNetwork() const { return false; }

private:
    std::string name_;
    bool standardHeaders_;
};

}  // namespace trellon
