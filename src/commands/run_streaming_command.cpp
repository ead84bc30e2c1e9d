#include "commands/run_streaming_command.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "commands/page_support.h"
#include "lib/agent_state.h"
#include "nettests/start_stream_server_command.h"
#include "nettests/streaming_test_thread.h"
#include "results/test_result.h"

namespace trellon {

namespace {

const RunStreamingCommand::Request& asStreaming(const RunTestRequest& run) {
    return static_cast<const RunStreamingCommand::Request&>(run);
}

struct Preset {
    const char* option;
    int kind;
    int packetSize;
    int rate;
    const char* buffer;
};

constexpr Preset kVoice{"voip", TestResult::kVoiceStream, 172, 8600, "200"};
constexpr Preset kVideo{"video", TestResult::kVideoStream, 1000, 250000, "5000"};

// The scaled units and their marks; "Bits / second" and "Bytes / second"
// the input page marks itself.
struct Unit {
    const char* text;
    long long factor;  // bytes per second for one of the unit
    const char* mark;
};
constexpr Unit kScaledUnits[] = {
    {"K Bits / second", 125, "$kbitsselected"},
    {"K Bytes / second", 1000, "$kbytesselected"},
    {"M Bits / second", 125000, "$mbitsselected"},
    {"M Bytes / second", 1000000, "$mbytesselected"},
};

}  // namespace

RunStreamingCommand::RunStreamingCommand()
    : RunTestCommand(
          {"streaming",
           "streamingpage",
           TestResult::kStreamingTest,
           "running_streaming.gif",
           "stopped_streaming.gif",
           {"Report", "Min:Sec", "No.<br>Packets", "Out Of<br>Order", "<br>Dup", "<br>Lost",
            "No.<br>Gaps", "Max<br>Gap", "Jitter<br>Max", "16 Packet<br>Avg", "Jitter<br>Avg"},
           "Player or Viewer",
           "Media Source",
           "Streaming Media Simulation Test",
           "Streaming"}) {}

std::optional<long long> RunStreamingCommand::bytesPerSecond(long long rate,
                                                             const std::string& units) {
    // The form's number stops at INT_MAX, so no product below can overflow.
    if (units == "Bits / second") return (rate + 7) / 8;
    if (units == "Bytes / second") return rate;
    for (const Unit& unit : kScaledUnits) {
        if (units == unit.text) return rate * unit.factor;
    }
    return std::nullopt;
}

std::string RunStreamingCommand::intervalText(int packetSize, long long rate) {
    // The interval itself, not rounded down to whole milliseconds: a custom
    // stream of 100-byte packets at 10 Mbit/s sends one every 0.08 ms.
    double interval = rate > 0 ? static_cast<double>(packetSize) * 1000.0 / rate : 0.0;
    char text[64];
    std::snprintf(text, sizeof(text), "%3.2f", interval);
    return text;
}

std::unique_ptr<RunTestRequest> RunStreamingCommand::newRequest() const {
    return std::make_unique<Request>();
}

void RunStreamingCommand::readFields(const FormVariables& form, RunTestRequest& run) const {
    auto& streaming = static_cast<Request&>(run);
    streaming.kindText = form.get("StreamTypeOption");
    streaming.rateUnits = form.get("rateUnits");
    streaming.reportIntervalText = form.get("reportInterval");
    streaming.reportInterval = readNumber(streaming.reportIntervalText);
    const Preset* preset = streaming.kindText == kVoice.option   ? &kVoice
                           : streaming.kindText == kVideo.option ? &kVideo
                                                                 : nullptr;
    if (preset != nullptr) {
        streaming.streamKind = preset->kind;
        streaming.packetSize = preset->packetSize;
        streaming.packetSizeText = std::to_string(preset->packetSize);
        streaming.rate = preset->rate;
        streaming.bufferText = preset->buffer;
    } else {
        streaming.streamKind = TestResult::kCustomStream;
        streaming.packetSizeText = form.get("packetSize");
        streaming.packetSize = readNumber(streaming.packetSizeText);
        streaming.rate =
            bytesPerSecond(readNumber(form.get("flowRate")), streaming.rateUnits).value_or(0);
        streaming.bufferText = form.get("bufferSize");
    }
    streaming.bufferDuration = readNumber(streaming.bufferText);
}

void RunStreamingCommand::checkRemoteComputer(const RunTestRequest& run, Messages& errors) const {
    if (run.remoteComputer.empty()) {
        errors.push_back("Please provide a Transmitting Computer Name.");
        return;
    }
    RunTestCommand::checkRemoteComputer(run, errors);
}

void RunStreamingCommand::checkFields(const RunTestRequest& run, Messages& errors) const {
    const Request& streaming = asStreaming(run);
    if (streaming.streamKind == TestResult::kCustomStream) {
        if (!isNumber(streaming.packetSizeText))
            errors.push_back("<p>Please enter a number for the packet size.</p>");
        if (streaming.packetSize < 100 || streaming.packetSize > 1500)
            errors.push_back("<p>Please enter a packet size between 100 and 1500.</p>");
        // A rate of 0 would leave the time between packets undefined.
        if (streaming.rate < 1 || streaming.rate > StartStreamServerCommand::kMaxFlowRate)
            errors.push_back(
                "<p>Please enter a rate between 1 and 10,000,000 bits per second.</p>");
    }
    if (!isNumber(run.timeLimitText))
        errors.push_back("<p>Please enter number for the time limit.</p>");
    if (run.timeLimit < 1 || run.timeLimit > maximumTimeLimit())
        errors.push_back(timeLimitMessage(maximumTimeLimit()));
    if (!isNumber(streaming.reportIntervalText))
        errors.push_back("<p>Please enter a number for the list progress interval.</p>");
    if (run.reportInterval < 1 || run.reportInterval > 60)
        errors.push_back("<p>Please enter a list progress interval between 1 and 60 seconds.</p>");
    if (!isNumber(run.refreshIntervalText))
        errors.push_back(
            "<p>Please enter a number for the time to wait before refreshing the screen.</p>");
    if (run.refreshInterval < 1 || run.refreshInterval > 60)
        errors.push_back(
            "<p>Please enter a time to wait before refreshing the screen between 1 and 60 "
            "seconds.</p>");
    if (!isNumber(streaming.bufferText))
        errors.push_back("<p>Please enter number for the buffer size.</p>");
    if (streaming.bufferDuration < 1 || streaming.bufferDuration > 10000)
        errors.push_back(
            "<p>Please enter a buffer size between 1 millisecond and 10 seconds (10000).</p>");
}

void RunStreamingCommand::setSelectionMarks(const RunTestRequest& run, FormVariables& form) const {
    const Request& streaming = asStreaming(run);
    form.set("$voipchecked", "");
    form.set("$videochecked", "");
    form.set("$customchecked", "");
    const char* kind = streaming.kindText == kVoice.option   ? "$voipchecked"
                       : streaming.kindText == kVideo.option ? "$videochecked"
                                                             : "$customchecked";
    form.set(kind, "CHECKED");
    for (const Unit& unit : kScaledUnits)
        form.set(unit.mark, streaming.rateUnits == unit.text ? "SELECTED" : "");
}

std::string RunStreamingCommand::explanationHead(const RunTestRequest& run) const {
    const Request& streaming = asStreaming(run);
    return "Tell the remote computer <b>" + escapeUserText(run.remoteComputer) +
           "</b> to send a simulated media stream with a fixed bit rate to the local computer <b>" +
           escapeUserText(run.hostName) +
           ".</b>  Measure packet loss and jitter (variation in arrival time between packets.)  " +
           "Each UDP packet payload carries <b>" + std::to_string(streaming.packetSize) +
           "</b> bytes.  " + "<br>Wait for <b>" +
           intervalText(streaming.packetSize, streaming.rate) +
           "</b> milliseconds between packets.  " + "Run this test for <b>" +
           std::to_string(run.timeLimit) + "</b> seconds.  " + "Buffering for <b>" +
           std::to_string(streaming.bufferDuration) + "</b> milliseconds of packets.  ";
}

void RunStreamingCommand::fillRecord(const RunTestRequest& run, TestResult& record) const {
    const Request& streaming = asStreaming(run);
    record.setStreamKind(streaming.streamKind);
    record.setBufferDuration(streaming.bufferDuration);
}

void RunStreamingCommand::addXmlElements(const RunTestRequest& run, TestResult& record) const {
    const Request& streaming = asStreaming(run);
    record.addXmlText("localComputer", run.hostName);
    record.addXmlInt("localControlPort", run.controlPort);
    record.addXmlText("remoteComputer", run.remoteComputer);
    record.addXmlInt("remoteControlPort", run.remoteControlPort);
    record.addXmlInt("payload", streaming.packetSize);
    record.addXmlText("interval", intervalText(streaming.packetSize, streaming.rate));
    record.addXmlInt("rate", streaming.rate);
    record.addXmlInt("bufferDuration", streaming.bufferDuration);
}

std::unique_ptr<TestThread> RunStreamingCommand::createThread(const RunTestRequest& run,
                                                              std::shared_ptr<TestResult> record,
                                                              bool deleteSelf) const {
    const Request& streaming = asStreaming(run);
    AgentState* agent = AgentState::current();
    int serverPort = agent != nullptr ? agent->streamingServerPort.load() : 0;
    // The checks bound the rate (1,250,000) for every request.
    int rate = static_cast<int>(std::min<long long>(streaming.rate, INT_MAX));
    return std::make_unique<StreamingTestThread>(
        std::move(record), run.remoteComputer, run.remoteControlPort, streaming.packetSize, rate,
        streaming.bufferDuration, run.reportInterval, run.timeLimit, run.dscp, run.priority,
        serverPort, deleteSelf);
}

int RunStreamingCommand::maximumTimeLimit() const {
    AgentState* agent = AgentState::current();
    return agent != nullptr ? agent->streamingTimeLimit.load() : 60;
}

}  // namespace trellon
