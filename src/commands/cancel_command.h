// CancelCommand ("cancel"): another agent asks this one to cancel a test.
// Body only: "OK" when a test with that id was found and marked cancelled,
// else "FAILED", each followed by CR LF. The test's own thread sees the flag
// and stops.
#pragma once

#include <string>

#include "http/http_command.h"

namespace trellon {

class CancelCommand : public HttpCommand {
public:
    CancelCommand() : HttpCommand("cancel", false) {}

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override;

    // The reply for an `id` query value (present or not).
    static std::string cancel(const FormVariables& form);
};

}  // namespace trellon
