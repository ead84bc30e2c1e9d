// ShowResultsCommand ("results"): one test's record, as XML for programs
// (`format` "xml") or as the results page for browsers.
//
// The record may not be in the log yet when the browser follows the
// redirect of a run command that has only just made it, so finding it is
// retried for about 200 ms before the answer becomes "nodata.htm".
//
// The HTML page is filled by a PageRenderer (the results page renderer of
// the pages, or the debug page's); the command finds the record, loads the
// template (the record's own results page for plug-ins, else the command's
// template) and hands both to it, turning an exception into the command's
// message. Without a renderer the page is a plain summary of the record.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "http/http_command.h"

namespace trellon {

class TestResult;

class ShowResultsCommand : public HttpCommand {
public:
    // Fills a loaded template from the record (holding the record's lock).
    using PageRenderer =
        std::function<void(HttpRequest&, const TestResult&, int testId, ResponseBuffer& page)>;

    static constexpr int kFindRetries = 20;
    static constexpr std::chrono::milliseconds kFindRetryPause{10};

    explicit ShowResultsCommand(PageRenderer renderer = {});

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override;

    // The record with that identifier, waiting up to kFindRetries pauses
    // for it to appear; null when it does not.
    static std::shared_ptr<TestResult> findRecord(int id);
    // "nodata.htm" with $testId filled (or the file-not-found body).
    static void answerNoData(HttpRequest& request, int id, ResponseBuffer& out);

protected:
    // For the debug page: another name, template and exception text.
    ShowResultsCommand(std::string name, std::string templateName, std::string exceptionText,
                       PageRenderer renderer);

    virtual void answerXml(HttpRequest& request, const TestResult& record,
                           ResponseBuffer& out) const;
    virtual void answerPage(HttpRequest& request, const TestResult& record, int testId,
                            ResponseBuffer& out) const;
    // The template for a record: its own results page, else templateName.
    virtual std::string templateFor(const TestResult& record) const;

private:
    static void plainSummary(const TestResult& record, ResponseBuffer& page);

    std::string templateName_;
    std::string exceptionText_;
    PageRenderer renderer_;
};

}  // namespace trellon
