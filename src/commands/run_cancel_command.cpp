#include "commands/run_cancel_command.h"

#include <thread>

#include "commands/page_support.h"
#include "results/test_log.h"

namespace trellon {

int RunCancelCommand::execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) {
    const int id = parseTestId(form.get("id"));
    if (TestLog* log = TestLog::instance()) {
        if (auto record = log->findTestResult(id)) record->setCancelled();
    }
    std::this_thread::sleep_for(kSettleTime);
    redirectToResultsPage(request, id, out);
    return 0;
}

}  // namespace trellon
