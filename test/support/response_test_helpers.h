// Small helpers for tests that drive tests on real agents in lab hosts (the
// response test first of all): plain HTTP to an agent's control port, a test
// started as a program starts it, and the elements of its XML result.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/netlab.h"

namespace trellon::netlab::response {

constexpr int kControlPort = 4044;

// The text of the first <name> element, or "(missing name)". Plain finds
// rather than std::regex: GCC 12 warns inside <regex> under the sanitizers.
inline std::string element(const std::string& document, const std::string& name) {
    const std::string open = "<" + name + ">";
    std::size_t start = document.find(open);
    if (start == std::string::npos) return "(missing " + name + ")";
    start += open.size();
    std::size_t end = document.find("</" + name + ">", start);
    if (end == std::string::npos) return "(missing " + name + ")";
    return document.substr(start, end - start);
}

inline int intElement(const std::string& document, const std::string& name) {
    try {
        return std::stoi(element(document, name));
    } catch (...) {
        return -1;
    }
}

// GET path from the agent in `from` (on its loopback); the body of the reply.
inline std::string httpGet(const Host& from, const std::string& path,
                           std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    std::string error;
    std::string reply = from.tcpExchange("127.0.0.1", kControlPort,
                                         "GET " + path + " HTTP/1.0\r\n\r\n", timeout, &error);
    if (reply.empty()) return "(no reply: " + error + ")";
    if (reply.rfind("HTTP/", 0) != 0) return reply;  // agent-to-agent commands: body only
    std::size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? reply : reply.substr(body + 4);
}

// A figure of the document; -1 when it is missing or not a number.
inline double number(const std::string& document, const std::string& name) {
    try {
        return std::stod(element(document, name));  // "%8.3f": leading blanks are skipped
    } catch (...) {
        return -1;
    }
}

// The id in the results address a run command answered with; 0 when there is none.
inline int testId(const std::string& answer) {
    const std::string marker = "/results?id=";
    std::size_t at = answer.find(marker);
    if (at == std::string::npos) return 0;
    std::size_t digits = at + marker.size();
    std::size_t end = answer.find("&format=xml", digits);
    if (end == std::string::npos || end == digits) return 0;
    std::string id = answer.substr(digits, end - digits);
    if (id.find_first_not_of("0123456789") != std::string::npos || id.size() > 9) return 0;
    return std::stoi(id);
}

// Starts a test (`command` "response", "bandwidth", ...) from `from` as a
// program would (XML, no waiting); its id, or 0 (a failure) when refused.
inline int startTest(const Host& from, const std::string& command, const std::string& fields) {
    std::string answer =
        httpGet(from, "/" + command + "?" + fields + "&refreshInterval=5&format=xml");
    int id = testId(answer);
    if (id == 0) ADD_FAILURE() << "no results address in: " << answer;
    return id;
}

// Starts a response test from `from` against `remote`; the test id, or 0
// when the agent refused it.
inline int startResponseTest(const Host& from, const std::string& remote, int repeat, int pause,
                             int timeLimit) {
    return startTest(
        from, "response",
        "remoteComputer=" + remote + "&testSize=100&repeatCount=" + std::to_string(repeat) +
            "&pause=" + std::to_string(pause) + "&timeLimit=" + std::to_string(timeLimit));
}

// Runs a test with curl, as a program would (`path` with format=xml and
// refresh=false: the answer comes at its end), and fetches the XML result it
// names; "" (a failure) without one. With `address`, the results address.
inline std::string runWithCurl(const Host& from, const std::string& path,
                               std::string* address = nullptr) {
    CommandResult curl = from.run("curl -s --max-time 120 'http://127.0.0.1:4044" + path + "'",
                                  std::chrono::seconds(150));
    EXPECT_TRUE(curl.ok()) << curl.output;
    // The address line, then the CR LF the server puts after every command's output.
    std::size_t end = curl.output.find("\r\n");
    std::string line = curl.output.substr(0, end);
    if (end == std::string::npos || line.rfind("http://", 0) != 0 || testId(line) == 0) {
        ADD_FAILURE() << "no results address in: " << curl.output;
        return "";
    }
    if (address) *address = line;
    CommandResult xml = from.run("curl -s --max-time 30 '" + line + "'");
    EXPECT_TRUE(xml.ok()) << xml.output;
    return xml.output;
}

// Rows of a results page's progress table (one per reply of a response test).
inline int progressRows(const std::string& page) {
    int rows = 0;
    for (std::size_t at = page.find("<tr>\n"); at != std::string::npos;
         at = page.find("<tr>\n", at + 1))
        ++rows;
    return rows;
}

inline std::string resultXml(const Host& from, int id) {
    return httpGet(from, "/results?id=" + std::to_string(id) + "&format=xml");
}

// Polls the XML result until it is done or the limit passes; the last document.
inline std::string waitUntilDone(const Host& from, int id, std::chrono::milliseconds limit,
                                 std::chrono::milliseconds every = std::chrono::milliseconds(20)) {
    auto end = std::chrono::steady_clock::now() + limit;
    std::string document;
    for (;;) {
        document = resultXml(from, id);
        if (element(document, "done") == "1" || std::chrono::steady_clock::now() > end)
            return document;
        std::this_thread::sleep_for(every);
    }
}

// Polls the HTML results page until its progress table has at least `rows`
// rows (one per reply of a response test); false at the limit.
inline bool waitForRows(const Host& from, int id, int rows, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (progressRows(httpGet(from, "/results?id=" + std::to_string(id) + "&format=html")) >=
            rows)
            return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

}  // namespace trellon::netlab::response
