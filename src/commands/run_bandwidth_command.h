// RunBandwidthCommand ("bandwidth"): starts a bandwidth test from the
// bandwidth input page ("bandwidthpage") or from a program's request
// (`format` "xml" or "text", answered without the page but held to the same
// bounds).
#pragma once

#include <cstdint>
#include <string>

#include "commands/run_test_command.h"

namespace trellon {

class RunBandwidthCommand : public RunTestCommand {
public:
    RunBandwidthCommand();

    struct Request : RunTestRequest {
        std::string testSizeText;
        std::string testSizeUnits;
        std::string reportIntervalText;
        // -1 when the unit is none of the five names.
        std::int64_t testBytes = -1;
    };

    // Bytes per unit of `testSizeUnits`, or 0 for any other text.
    static std::int64_t unitFactor(const std::string& units);
    // The test size times the unit factor (never overflows); -1 for an unknown unit.
    static std::int64_t testBytes(int testSize, const std::string& units);

    // What a program that leaves `reportInterval` out gets (the page's default).
    static constexpr int kProgramReportInterval = 1;

protected:
    std::unique_ptr<RunTestRequest> newRequest() const override;
    void readFields(const FormVariables& form, RunTestRequest& run) const override;
    bool answersWithoutPage(const std::string& format) const override;
    void checkFields(const RunTestRequest& run, Messages& errors) const override;
    void setSelectionMarks(const RunTestRequest& run, FormVariables& form) const override;
    std::string explanationHead(const RunTestRequest& run) const override;
    void addXmlElements(const RunTestRequest& run, TestResult& record) const override;
    std::unique_ptr<TestThread> createThread(const RunTestRequest& run,
                                             std::shared_ptr<TestResult> record,
                                             bool deleteSelf) const override;
    int maximumTimeLimit() const override;
};

}  // namespace trellon
