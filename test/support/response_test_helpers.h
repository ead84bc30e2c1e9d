// Small helpers for tests that drive response-time tests on real agents in
// lab hosts: plain HTTP to an agent's control port, and the elements of its
// XML result.
#pragma once

#include <chrono>
#include <regex>
#include <string>
#include <thread>

#include "support/netlab.h"

namespace trellon::netlab::response {

constexpr int kControlPort = 4044;

// The text of the first <name> element, or "(missing name)".
inline std::string element(const std::string& document, const std::string& name) {
    std::smatch m;
    std::regex pattern("<" + name + ">([^<]*)</" + name + ">");
    return std::regex_search(document, m, pattern) ? m[1].str()
                                                   : std::string("(missing " + name + ")");
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

// Starts a response test from `from` against `remote` as a program would
// (XML, no waiting); the test id, or 0 when the agent refused it.
inline int startResponseTest(const Host& from, const std::string& remote, int repeat, int pause,
                             int timeLimit) {
    std::string answer = httpGet(
        from, "/response?remoteComputer=" + remote + "&testSize=100&repeatCount=" +
                  std::to_string(repeat) + "&pause=" + std::to_string(pause) +
                  "&timeLimit=" + std::to_string(timeLimit) + "&refreshInterval=5&format=xml");
    std::smatch m;
    static const std::regex id("/results\\?id=([0-9]+)&format=xml");
    return std::regex_search(answer, m, id) ? std::stoi(m[1].str()) : 0;
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

}  // namespace trellon::netlab::response
