#include "commands/cancel_command.h"

#include "results/test_log.h"

namespace trellon {

namespace {

// A test identifier: decimal digits only, above 0 and within int; else 0.
int parseTestId(const std::string& text) {
    if (text.empty()) return 0;
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        value = value * 10 + (c - '0');
        if (value > 2147483647LL) return 0;
    }
    return static_cast<int>(value);
}

}  // namespace

std::string CancelCommand::cancel(const FormVariables& form) {
    int id = form.has("id") ? parseTestId(form.get("id")) : 0;
    TestLog* log = TestLog::instance();
    if (id > 0 && log != nullptr) {
        if (auto record = log->findTestResult(id)) {
            record->setCancelled();
            return "OK\r\n";
        }
    }
    return "FAILED\r\n";
}

int CancelCommand::execute(HttpRequest&, FormVariables& form, ResponseBuffer& out) {
    out.append(cancel(form));
    return 0;
}

}  // namespace trellon
