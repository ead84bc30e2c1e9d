#include "commands/show_results_command.h"

#include <climits>
#include <cstdio>
#include <mutex>
#include <thread>

#include "commands/page_support.h"
#include "http/http_request.h"
#include "http/http_server.h"
#include "http/templates.h"
#include "lib/error_report.h"
#include "plugins/plugin_pages.h"
#include "results/test_log.h"
#include "results/test_result.h"

namespace trellon {

ShowResultsCommand::ShowResultsCommand(PageRenderer renderer)
    : ShowResultsCommand("results", "results.htm", "ShowResultsCommand exception.",
                         std::move(renderer)) {}

ShowResultsCommand::ShowResultsCommand(std::string name, std::string templateName,
                                       std::string exceptionText, PageRenderer renderer)
    : HttpCommand(std::move(name)),
      templateName_(std::move(templateName)),
      exceptionText_(std::move(exceptionText)),
      renderer_(std::move(renderer)) {}

std::shared_ptr<TestResult> ShowResultsCommand::findRecord(int id) {
    for (int attempt = 0; attempt <= kFindRetries; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(kFindRetryPause);
        TestLog* log = TestLog::instance();
        if (log == nullptr) continue;
        if (std::shared_ptr<TestResult> record = log->findTestResult(id)) return record;
    }
    return nullptr;
}

void ShowResultsCommand::answerNoData(HttpRequest& request, int id, ResponseBuffer& out) {
    ResponseBuffer page;
    if (!loadPageTemplate(request, "nodata.htm", page)) {
        out.append(page.str());
        return;
    }
    replaceKey(page, "$testId", std::to_string(id));
    out.append(page.str());
}

int ShowResultsCommand::execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) {
    int id = parseTestId(form.get("id"));
    std::shared_ptr<TestResult> record = findRecord(id);
    if (!record) {
        answerNoData(request, id, out);
        return 0;
    }
    if (form.get("format") == "xml") {
        answerXml(request, *record, out);
    } else if (form.get("format") == "json") {
        out.append(record->jsonDocument());
        out.appendCrLf();
        request.setJsonOutput(true);
    } else
        answerPage(request, *record, id, out);
    return 0;
}

void ShowResultsCommand::answerXml(HttpRequest& request, const TestResult& record,
                                   ResponseBuffer& out) const {
    out.append(record.xmlDocument());
    out.appendCrLf();
    request.setXmlOutput(true);
}

std::string ShowResultsCommand::templateFor(const TestResult& record) const {
    std::string own = record.getResultsPage();
    return own.empty() ? templateName_ : own;
}

void ShowResultsCommand::answerPage(HttpRequest& request, const TestResult& record, int testId,
                                    ResponseBuffer& out) const {
    ResponseBuffer page;
    if (!renderer_) {
        plainSummary(record, page);
        out.append(page.str());
        return;
    }
    const std::string name = templateFor(record);
    if (!name.empty() && name == record.getResultsPage()) {
        // A plug-in's output page, from its own folder.
        if (!loadPluginPage(request, name, page)) {
            out.append("Internal error, file not found: " + escapeUserText(name));
            return;
        }
    } else if (!loadPageTemplate(request, name, page)) {
        out.append(page.str());
        return;
    }
    try {
        renderer_(request, record, testId, page);
    } catch (...) {
        page.append(exceptionText_);
        std::printf("Unexpected exception (ShowResultsCommand::execute() %s at line %d)\n",
                    sourceFileName(__FILE__), __LINE__);
        std::fflush(stdout);
    }
    out.append(page.str());
}

void ShowResultsCommand::plainSummary(const TestResult& record, ResponseBuffer& page) {
    std::lock_guard<RecordLock> guard(record.lock());
    bool finished = record.getState() == TestResult::kFinished;
    page.append("<html><head><title>" + escapeHtml(record.pageTitle()) +
                "</title></head><body>\n<h1>" + escapeHtml(record.getTitle()) + "</h1>\n");
    if (std::optional<std::string> explanation = record.getExplanation())
        page.append("<p>" + *explanation + "</p>\n");
    page.append("<p>" + (finished ? record.getFinalResults() : std::string("Test still running.")));
    if (finished) {
        if (std::optional<std::string> ports = record.getPortExplanation()) page.append(*ports);
    }
    page.append("</p>\n" + record.progressTableHtml() + record.getOutputText() +
                "</body></html>\n");
}

}  // namespace trellon
