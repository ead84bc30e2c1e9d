// ShowDebugCommand ("debug"): the same record as the results page, rendered
// the same way into the fuller "debug.htm" (always that template, also for
// plug-in records and whatever `format` asks for).
#pragma once

#include "commands/show_results_command.h"

namespace trellon {

class ShowDebugCommand : public ShowResultsCommand {
public:
    ShowDebugCommand();

protected:
    void answerXml(HttpRequest& request, const TestResult& record,
                   ResponseBuffer& out) const override;
    std::string templateFor(const TestResult& record) const override;
};

}  // namespace trellon
