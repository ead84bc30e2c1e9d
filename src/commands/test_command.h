// The three test input pages: BandwidthCommand ("bandwidthpage"),
// ResponseCommand ("responsepage") and StreamingCommand ("streamingpage"),
// with their common base TestCommand.
//
// A page is shown either fresh, filled with the defaults, or because a run
// command sent the user back: then the form carries `messages` and the
// user's previous values under "$" names, which go back in escaped mode.
// Whatever a sent-back form does not carry is filled with the defaults, so
// no variable of the page is ever left in the answer.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "http/http_command.h"

namespace trellon {

// The control port a remote agent is assumed to use when nothing else is known.
constexpr int kDefaultRemoteControlPort = 4044;

class TestCommand : public HttpCommand {
public:
    using Defaults = std::vector<std::pair<const char*, const char*>>;

    TestCommand(std::string name, std::string templateName, bool fillsUdpAndFormat);

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override;

    const std::string& templateName() const { return templateName_; }

    // The page's own defaults (field values and selection marks), in order.
    virtual Defaults defaults() const = 0;

protected:
    // After the user's values went back into a page shown again.
    virtual void afterUserValues(ResponseBuffer& page, const FormVariables& form) const;

private:
    std::string templateName_;
    bool fillsUdpAndFormat_;
};

class BandwidthCommand : public TestCommand {
public:
    BandwidthCommand() : TestCommand("bandwidthpage", "bandwidth.htm", false) {}
    Defaults defaults() const override;

protected:
    void afterUserValues(ResponseBuffer& page, const FormVariables& form) const override;
};

class ResponseCommand : public TestCommand {
public:
    ResponseCommand() : TestCommand("responsepage", "responseTime.htm", true) {}
    Defaults defaults() const override;
};

class StreamingCommand : public TestCommand {
public:
    StreamingCommand() : TestCommand("streamingpage", "streaming.htm", true) {}
    Defaults defaults() const override;

protected:
    void afterUserValues(ResponseBuffer& page, const FormVariables& form) const override;
};

}  // namespace trellon
