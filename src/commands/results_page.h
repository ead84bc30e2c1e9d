// The HTML form of a test record: fills a loaded "results.htm" (or
// "debug.htm", or a plug-in's results page) from a TestResult.
//
// Called on request threads while the test's own threads may still write the
// record: the whole rendering holds the record's lock, so the page shows one
// consistent state. The lock is released on every way out, exceptions
// included; the caller turns an exception into its own message.
//
// Addresses the browser follows (the refresh, cancel, debug and run-again
// links) are built on the address the browser used to reach this agent.
// Text a user typed (the remote computer, plug-in form values) is escaped;
// the record's title, explanation and final figures are the agent's own HTML.
#pragma once

#include <string>

#include "http/response_buffer.h"

namespace trellon {

class HttpRequest;
class TestResult;

void renderResultsPage(HttpRequest& request, const TestResult& record, int testId,
                       ResponseBuffer& page);

// The text that replaces "<!-- refresh meta-equiv tag goes here -->" while a
// test runs.
std::string refreshMetaTag(int seconds, const std::string& url);

constexpr const char* kRefreshPlaceholder = "<!-- refresh meta-equiv tag goes here -->";

}  // namespace trellon
