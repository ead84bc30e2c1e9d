// RunCancelCommand ("cancelCommand"): the browser's cancel link. Marks the
// test cancelled, gives its thread a moment to notice, and sends the browser
// back to the test's results page (also when there is no such test, where
// the results page says so).
#pragma once

#include <chrono>

#include "http/http_command.h"

namespace trellon {

class RunCancelCommand : public HttpCommand {
public:
    // Time the test's own thread gets to record the cancellation before the
    // results page is shown again.
    static constexpr std::chrono::milliseconds kSettleTime{200};

    RunCancelCommand() : HttpCommand("cancelCommand") {}

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override;
};

}  // namespace trellon
