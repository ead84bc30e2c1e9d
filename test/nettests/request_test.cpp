#include "nettests/request.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "nettests/fake_agent.h"

namespace trellon {
namespace {

using testing::FakeAgent;

TEST(Request, SendsOneBareRequestLineAndReadsUntilClose) {
    FakeAgent agent("3.2\r\nready\r\n4045\r\n");
    Request request("127.0.0.1", agent.port(), "status");
    EXPECT_EQ(request.ask(), 18);
    EXPECT_EQ(request.reply(), "3.2\r\nready\r\n4045\r\n");
    ASSERT_EQ(agent.requestCount(), 1);
    EXPECT_EQ(agent.heads()[0], "GET /status HTTP/1.0\r\n\r\n");

    std::string line;
    ASSERT_TRUE(request.readLine(line));
    EXPECT_EQ(line, "3.2");
    ASSERT_TRUE(request.readLine(line));
    EXPECT_EQ(line, "ready");
    ASSERT_TRUE(request.readLine(line));
    EXPECT_EQ(line, "4045");
    EXPECT_FALSE(request.readLine(line));
}

TEST(Request, ByAddressCarriesTheQuery) {
    FakeAgent agent("OK\r\n");
    Request request(htonl(INADDR_LOOPBACK), agent.port(), "cancel?id=12");
    EXPECT_EQ(request.ask(), 4);
    ASSERT_EQ(agent.requestCount(), 1);
    EXPECT_EQ(agent.heads()[0], "GET /cancel?id=12 HTTP/1.0\r\n\r\n");
}

// The empty line ends the reply even while the peer keeps the connection open,
// also when it straddles two receives (each receive takes at most 1024 bytes).
TEST(Request, StopsAtAnEmptyLineSplitAcrossReceives) {
    for (const std::string ending : {"\r\n\r\n", "\n\n"}) {
        std::string first(Request::kChunkBytes - ending.size() / 2, 'x');
        std::string reply = first + ending + "ignored after the empty line";
        FakeAgent agent(reply);
        agent.holdOpen(true);
        auto asking = std::async(std::launch::async, [&] {
            Request request("127.0.0.1", agent.port(), "status");
            int n = request.ask();
            return std::make_pair(n, request.reply());
        });
        // Far below the 10-second time-out a missed empty line would wait for.
        ASSERT_EQ(asking.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        auto [n, text] = asking.get();
        EXPECT_GE(n, static_cast<int>(first.size() + ending.size()));
        EXPECT_EQ(text.substr(0, first.size() + ending.size()), first + ending);
    }
}

TEST(Request, CapsTheReply) {
    FakeAgent agent(std::string(100 * 1024, 'y'));
    agent.holdOpen(true);
    Request request("127.0.0.1", agent.port(), "status");
    EXPECT_EQ(request.ask(), static_cast<int>(Request::kMaxReplyBytes));
}

TEST(Request, FailuresAnswerZero) {
    Request refused("127.0.0.1", testing::closedLoopbackPort(), "status");
    EXPECT_EQ(refused.ask(), 0);
    Request unknown("no-such-agent.invalid", 4044, "status");
    EXPECT_EQ(unknown.ask(), 0);
    FakeAgent silent("");
    Request empty("127.0.0.1", silent.port(), "status");
    EXPECT_EQ(empty.ask(), 0);
    std::string line;
    EXPECT_FALSE(empty.readLine(line));
}

TEST(RequestLineReader, SplitsAtEveryLineEnd) {
    struct Case {
        std::string buffer;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
        {"a\r\n\r\nb\r\n", {"a", "", "b"}},
        {"a\n\rb", {"a", "", "b"}},
        {std::string("a\r\nb\0c\r\n", 8), {"a", "b"}},
        {std::string("\0a", 2), {}},
        {"", {}},
        {"\r\n", {""}},
        {"last", {"last"}},
    };
    for (const auto& c : cases) {
        std::size_t position = 0;
        std::string line;
        std::vector<std::string> lines;
        while (Request::readLine(c.buffer, position, line)) lines.push_back(line);
        EXPECT_EQ(lines, c.lines) << "buffer of " << c.buffer.size() << " bytes";
    }
}

}  // namespace
}  // namespace trellon
