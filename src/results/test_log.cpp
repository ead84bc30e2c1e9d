#include "results/test_log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "http/http_server.h"
#include "lib/agent_state.h"

namespace trellon {

namespace {

std::atomic<TestLog*> gInstance{nullptr};
std::mutex gInstanceLock;    // serialises create and destroy
std::mutex gIdentifierLock;  // guards gLastIdentifier (taken inside a log's lock)
int gLastIdentifier = 0;

void printConsole(const char* text) {
    std::fputs(text, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int nextIdentifier() {
    std::lock_guard<std::mutex> guard(gIdentifierLock);
    return ++gLastIdentifier;
}

}  // namespace

TestLog::TestLog(int capacity) : capacity_(capacity < 1 ? 1 : capacity) {}

TestLog::~TestLog() {
    try {
        std::deque<std::shared_ptr<TestResult>> records;
        {
            std::lock_guard<std::mutex> guard(lock_);
            records.swap(records_);
        }
        // Released outside the lock: a record still held by a running test
        // lives on with it; the others are destroyed here.
        records.clear();
    } catch (...) {
        printConsole("Continuing after unexpected exception in ~TestLog()");
    }
}

void TestLog::create(int capacity) {
    std::lock_guard<std::mutex> guard(gInstanceLock);
    if (gInstance.load() != nullptr) return;
    gInstance.store(new TestLog(capacity));
}

TestLog* TestLog::instance() {
    return gInstance.load();
}

void TestLog::destroy() {
    std::lock_guard<std::mutex> guard(gInstanceLock);
    delete gInstance.exchange(nullptr);
}

void TestLog::resetIdentifiersForTests() {
    std::lock_guard<std::mutex> guard(gIdentifierLock);
    gLastIdentifier = 0;
}

LocalEndpoint TestLog::localEndpoint() {
    LocalEndpoint local;
    // The facts, not the server: records are made on test threads and by the
    // data sink, while the server may be rebuilt and destroyed under them.
    if (std::shared_ptr<const HttpServer::SiteFacts> facts = HttpServer::currentFacts()) {
        local.hostName = facts->hostName;
        local.hostAddress = facts->hostAddress;
        local.controlPort = facts->controlPort;
    } else {
        // No server yet (start-up, tests): the settings' view of this host.
        local.hostName = hostName();
        local.hostAddress = local.hostName;
        AgentState* agent = AgentState::current();
        local.controlPort =
            agent != nullptr ? agent->controlPort.load() : HttpServer::kDefaultControlPort;
    }
    return local;
}

bool TestLog::hasEnded(const std::shared_ptr<TestResult>& record) {
    // Held by the log alone: every other copy came from one that is gone or
    // from findTestResult, which needs the lock held here, so none can appear.
    if (record.use_count() == 1) return true;
    return record->getState() == TestResult::kFinished;
}

std::shared_ptr<TestResult> TestLog::newTestResult() {
    std::vector<std::shared_ptr<TestResult>> dropped;
    std::shared_ptr<TestResult> record;
    try {
        LocalEndpoint local = localEndpoint();
        std::lock_guard<std::mutex> guard(lock_);
        record = std::make_shared<TestResult>(nextIdentifier(), local);
        records_.push_back(record);
        // The new record is held by `record`, so it is never the one dropped.
        auto next = records_.begin();
        while (static_cast<int>(records_.size()) > capacity_) {
            next = std::find_if(next, records_.end(), hasEnded);
            if (next == records_.end()) break;  // all running: kept until they end
            dropped.push_back(std::move(*next));
            next = records_.erase(next);
        }
    } catch (...) {
        printConsole("Continuing after unexpected exception in TestLog::newTestResult()");
        record.reset();
    }
    // dropped is released here, outside the log lock.
    return record;
}

std::shared_ptr<TestResult> TestLog::findTestResult(int id) {
    try {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& record : records_) {
            if (record->getTestId() == id)
                return record;  // takes the record's lock inside the log lock
        }
    } catch (...) {
        printConsole("Continuing after unexpected exception in TestLog::findTestResult()");
    }
    return nullptr;
}

int TestLog::count() const {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(records_.size());
}

}  // namespace trellon
