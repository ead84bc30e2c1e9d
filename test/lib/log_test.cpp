#include "lib/log.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace trellon {
namespace {

using testing::captureStdout;
using testing::readFile;
using testing::TempDir;

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        setLogFilePathForTests(dir_.file("log.txt"));
        setLogQuiet(false);
    }
    void TearDown() override {
        setLogQuiet(true);
        setLogFilePathForTests(kLogFilePath);
    }
    TempDir dir_;
};

TEST_F(LogTest, EntriesGoToConsoleAndFile) {
    std::string out = captureStdout([] {
        logLine("one");
        logFormatted("two %d", 2);
        logFormatted(" and %s\n", "three");
        logAddedValue("name", "value");
    });
    const char* expected = "one\ntwo 2 and three\nAdded value name = value\n";
    EXPECT_EQ(out, expected);  // a format without a line end leaves the next entry on its line
    EXPECT_EQ(readFile(dir_.file("log.txt")), expected);
}

TEST_F(LogTest, FirstOpenEmptiesTheFileLaterOnesAppend) {
    testing::writeFile(dir_.file("log.txt"), "from an earlier run\n");
    setLogFilePathForTests(dir_.file("log.txt"));  // a fresh process
    captureStdout([] { logLine("new"); });
    EXPECT_EQ(readFile(dir_.file("log.txt")), "new\n");
    captureStdout([] { logLine("more"); });
    EXPECT_EQ(readFile(dir_.file("log.txt")), "new\nmore\n");
    if (std::FILE* f = openLog(true)) std::fclose(f);
    EXPECT_EQ(readFile(dir_.file("log.txt")), "");
}

TEST_F(LogTest, QuietWritesNothingAndMissingFolderStillLogsToConsole) {
    setLogQuiet(true);
    EXPECT_EQ(captureStdout([] { logLine("hidden"); }), "");
    setLogQuiet(false);
    setLogFilePathForTests(dir_.file("no/such/folder/log.txt"));
    EXPECT_EQ(captureStdout([] { logLine("console only"); }), "console only\n");
}

TEST_F(LogTest, ConcurrentEntriesStayWholeAndInTheSameOrder) {
    const int perThread = 1000;
    std::string out = captureStdout([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < perThread; ++i) {
                    logLine("thread " + std::to_string(t) + " entry " + std::to_string(i) +
                            " with some padding to make interleaving likely");
                }
            });
        }
        for (auto& th : threads) th.join();
    });
    std::string file = readFile(dir_.file("log.txt"));
    EXPECT_EQ(out, file);  // same entries, same order, on both
    std::istringstream lines(file);
    std::string line;
    int count = 0;
    int next[2] = {0, 0};
    while (std::getline(lines, line)) {
        ++count;
        int t = -1, i = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d entry %d", &t, &i), 2) << line;
        ASSERT_TRUE(t == 0 || t == 1);
        EXPECT_EQ(i, next[t]++) << line;
        EXPECT_EQ(line, "thread " + std::to_string(t) + " entry " + std::to_string(i) +
                            " with some padding to make interleaving likely");
    }
    EXPECT_EQ(count, 2 * perThread);
}

}  // namespace
}  // namespace trellon
