#include "commands/test_command.h"

#include "commands/page_support.h"
#include "commands/qos_choices.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/templates.h"
#include "lib/agent_state.h"

namespace trellon {

namespace {

std::string lastRemoteComputer() {
    AgentState* agent = AgentState::current();
    return agent != nullptr ? agent->lastRemoteComputer() : std::string();
}

// The parts every page gets when it is shown fresh, and that fill whatever a
// sent-back form left out: replaceKey only reaches variables still there.
void fillDefaults(ResponseBuffer& page, const TestCommand::Defaults& defaults) {
    replaceKey(page, "$remoteComputer", escapeUserText(lastRemoteComputer()));
    for (const auto& [key, value] : defaults) replaceKey(page, key, value);
    replaceKey(page, "$portNumber", std::to_string(kDefaultRemoteControlPort));
}

void replaceAll(ResponseBuffer& page, std::initializer_list<const char*> keys, const char* value) {
    for (const char* key : keys) replaceKey(page, key, value);
}

}  // namespace

TestCommand::TestCommand(std::string name, std::string templateName, bool fillsUdpAndFormat)
    : HttpCommand(std::move(name)),
      templateName_(std::move(templateName)),
      fillsUdpAndFormat_(fillsUdpAndFormat) {}

void TestCommand::afterUserValues(ResponseBuffer&, const FormVariables&) const {}

int TestCommand::execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) {
    ResponseBuffer page;
    if (!loadPageTemplate(request, templateName_, page)) {
        out.append(page.str());
        return 0;
    }
    const std::string& host = serverOf(request)->hostName();
    replaceKey(page, "$localComputer", host);
    if (fillsUdpAndFormat_) {
        replaceKey(page, "$udp", escapeUserText(form.get("udp")));
        replaceKey(page, "$format", escapeUserText(form.get("format")));
    }

    if (form.get("messages").empty()) {
        replaceKey(page, "$messages", "");
        fillDefaults(page, defaults());
        applyDefaultQosMarks(page);
    } else {
        putMessage(page, pageMessage(request, form));
        applyFormVariables(page, form, true);
        afterUserValues(page, form);
        fillDefaults(page, defaults());
        clearRemainingQosMarks(page, form);
    }
    out.append(page.str());
    return 0;
}

TestCommand::Defaults BandwidthCommand::defaults() const {
    return {
        {"$testSize", "1"},    {"$mbytesselected", "SELECTED"}, {"$bytesselected", ""},
        {"$kbitselected", ""}, {"$kbytesselected", ""},         {"$mbitsselected", ""},
        {"$timeLimit", "60"},  {"$reportInterval", "1"},        {"$refreshInterval", "10"},
    };
}

void BandwidthCommand::afterUserValues(ResponseBuffer& page, const FormVariables&) const {
    // The run command marks the submitted unit; the others go.
    replaceAll(
        page,
        {"$bytesselected", "$kbitselected", "$kbytesselected", "$mbitsselected", "$mbytesselected"},
        "");
}

TestCommand::Defaults ResponseCommand::defaults() const {
    return {
        {"$testSize", "100"}, {"$pause", "200"},        {"$repeatCount", "10"},
        {"$timeLimit", "15"}, {"$reportInterval", "1"}, {"$refreshInterval", "5"},
    };
}

TestCommand::Defaults StreamingCommand::defaults() const {
    return {
        {"$mbitsselected", "SELECTED"}, {"$bitsselected", ""},    {"$bytesselected", ""},
        {"$kbitsselected", ""},         {"$kbytesselected", ""},  {"$mbytesselected", ""},
        {"$voipchecked", "CHECKED"},    {"$videochecked", ""},    {"$customchecked", ""},
        {"$packetSize", "1000"},        {"$flowRate", "1"},       {"$bufferSize", "5000"},
        {"$timeLimit", "30"},           {"$reportInterval", "1"}, {"$refreshInterval", "10"},
    };
}

void StreamingCommand::afterUserValues(ResponseBuffer& page, const FormVariables& form) const {
    // The run command marks the four scaled rate units; the two plain ones
    // are marked here from the submitted unit itself.
    const std::string units = form.get("rateUnits");
    replaceKey(page, "$bitsselected", units == "Bits / second" ? "SELECTED" : "");
    replaceKey(page, "$bytesselected", units == "Bytes / second" ? "SELECTED" : "");
    if (form.has("$voipchecked") || form.has("$videochecked") || form.has("$customchecked")) {
        // The run command chose the stream kind; a kind it did not mark is off.
        replaceAll(page, {"$voipchecked", "$videochecked", "$customchecked"}, "");
    }
    if (form.has("$kbitsselected") || form.has("$mbitsselected")) {
        replaceAll(page, {"$kbitsselected", "$kbytesselected", "$mbitsselected", "$mbytesselected"},
                   "");
    }
}

}  // namespace trellon
