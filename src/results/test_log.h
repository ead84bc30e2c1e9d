// TestLog: the bounded store of test records, oldest first.
//
// One log per agent process, made at start-up once the settings are read and
// destroyed at shutdown. Run commands, the plug-in runner and the stream
// server take new records from it; the results, debug and cancel pages find
// records by identifier. The log holds each record through shared_ptr, so a
// record it drops stays valid for the pages still holding it, and is
// destroyed when the last of them lets go.
//
// Beyond capacity the log drops the oldest record that has ended, never one
// whose test still runs: a running test must stay findable, or nobody could
// cancel it. A record has ended once it is finished (1004), or once nobody
// but the log holds it (its test never started, or its thread is gone), since
// then no test can still write it. So the log may hold more than capacity
// while many tests run; the cap on running tests bounds that.
//
// Identifiers come from a process-wide counter and are never reused, also
// after the log has dropped a record or been destroyed and made again.
// Lock order: the log lock, then a record's lock.
#pragma once

#include <deque>
#include <memory>
#include <mutex>

#include "results/test_result.h"

namespace trellon {

class TestLog {
public:
    // A capacity below 1 is raised to 1, so the record newTestResult returns
    // is never the one it drops.
    explicit TestLog(int capacity);
    ~TestLog();

    TestLog(const TestLog&) = delete;
    TestLog& operator=(const TestLog&) = delete;

    // Creates the process-wide log once; later calls leave it in place.
    static void create(int capacity);
    static TestLog* instance();
    // Destroys the process-wide log (agent exit, after the request and test
    // threads have ended: instance() pointers must not outlive it).
    static void destroy();

    // A new record with the next identifier, appended; then, while more than
    // capacity are held, drops the oldest ended record. Null only after an
    // unexpected failure.
    std::shared_ptr<TestResult> newTestResult();
    // The record with that identifier, or null.
    std::shared_ptr<TestResult> findTestResult(int id);

    int count() const;
    int capacity() const { return capacity_; }

    // Tests only: the next record made is given identifier 1 again.
    static void resetIdentifiersForTests();

private:
    static LocalEndpoint localEndpoint();
    // Called under lock_ (log lock, then the record's lock).
    static bool hasEnded(const std::shared_ptr<TestResult>& record);

    const int capacity_;
    mutable std::mutex lock_;  // guards records_ and the identifier assignment
    std::deque<std::shared_ptr<TestResult>> records_;
};

}  // namespace trellon
