#include "commands/show_debug_command.h"

#include "commands/results_page.h"
#include "results/test_result.h"

namespace trellon {

ShowDebugCommand::ShowDebugCommand()
    : ShowResultsCommand("debug", "debug.htm", "ShowDebugCommand exception.", &renderResultsPage) {}

void ShowDebugCommand::answerXml(HttpRequest& request, const TestResult& record,
                                 ResponseBuffer& out) const {
    answerPage(request, record, record.getTestId(), out);
}

std::string ShowDebugCommand::templateFor(const TestResult&) const {
    return "debug.htm";
}

}  // namespace trellon
