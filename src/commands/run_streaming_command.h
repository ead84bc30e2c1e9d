// RunStreamingCommand ("streaming"): starts a streaming media test from the
// streaming input page ("streamingpage") or from a program's request.
//
// The stream kind sets packet size, rate and buffer: voice and video are
// fixed presets (their fields in the form are not read), custom takes the
// form's packet size, rate (times the factor of its unit) and buffer.
#pragma once

#include <cstdint>
#include <optional>

#include "commands/run_test_command.h"

namespace trellon {

class RunStreamingCommand : public RunTestCommand {
public:
    RunStreamingCommand();

    struct Request : RunTestRequest {
        std::string kindText;  // StreamTypeOption
        std::string rateUnits;
        std::string packetSizeText;
        std::string bufferText;  // as the kind gives it ("200" for voice)
        std::string reportIntervalText;
        int streamKind = 0;
        int packetSize = 0;
        long long rate = 0;  // bytes per second; 0 when the unit is unknown
        int bufferDuration = 0;
    };

    // Bytes per second for a rate in a unit of the page's list: "Bits /
    // second" rounds a fraction of a byte up (1 bit/s is 1 byte/s; 0 stays 0),
    // the others are whole factors. Nothing for an unknown unit.
    static std::optional<long long> bytesPerSecond(long long rate, const std::string& units);
    // Packet size * 1000 / rate in milliseconds, as "%3.2f".
    static std::string intervalText(int packetSize, long long rate);

protected:
    std::unique_ptr<RunTestRequest> newRequest() const override;
    void readFields(const FormVariables& form, RunTestRequest& run) const override;
    void checkRemoteComputer(const RunTestRequest& run, Messages& errors) const override;
    void checkFields(const RunTestRequest& run, Messages& errors) const override;
    void setSelectionMarks(const RunTestRequest& run, FormVariables& form) const override;
    std::string explanationHead(const RunTestRequest& run) const override;
    void fillRecord(const RunTestRequest& run, TestResult& record) const override;
    void addXmlElements(const RunTestRequest& run, TestResult& record) const override;
    bool urlAfterElements() const override { return true; }
    std::unique_ptr<TestThread> createThread(const RunTestRequest& run,
                                             std::shared_ptr<TestResult> record,
                                             bool deleteSelf) const override;
    int maximumTimeLimit() const override;
};

}  // namespace trellon
