// RunResponseCommand ("response"): starts a response-time test from the
// response input page ("responsepage") or from a program's request.
#pragma once

#include "commands/run_test_command.h"

namespace trellon {

class RunResponseCommand : public RunTestCommand {
public:
    RunResponseCommand();

    struct Request : RunTestRequest {
        std::string testSizeText;  // packet size
        std::string pauseText;
        int packetSize = 0;
        int repeatCount = 0;
        int pause = 0;
    };

protected:
    std::unique_ptr<RunTestRequest> newRequest() const override;
    void readFields(const FormVariables& form, RunTestRequest& run) const override;
    void checkFields(const RunTestRequest& run, Messages& errors) const override;
    std::string explanationHead(const RunTestRequest& run) const override;
    void addXmlElements(const RunTestRequest& run, TestResult& record) const override;
    std::unique_ptr<TestThread> createThread(const RunTestRequest& run,
                                             std::shared_ptr<TestResult> record,
                                             bool deleteSelf) const override;
    int maximumTimeLimit() const override;
};

}  // namespace trellon
