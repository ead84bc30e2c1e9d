// Plug-ins in the real agent: what a plug-in's command inherits from the
// running trellon (no socket, no log, no blocked or ignored signal), a
// command ended by a cancel and by the agent's shutdown together with what
// it started. (The shipped ping plug-in used from a browser is in
// test/browser/plugin_browser_test.py.)
//
// Each agent runs in a lab host on its default ports, from a program folder
// made of this build's trellon and htdocs/ with the test's plug-ins added
// (plug-ins are read when the server is built).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

#include "support/netlab.h"
#include "support/netlab_agent.h"
#include "support/plugin_helpers.h"
#include "support/test_support.h"

namespace trellon::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string bodyOf(const std::string& reply) {
    const std::size_t at = reply.find("\r\n\r\n");
    return at == std::string::npos ? reply : reply.substr(at + 4);
}

// The text of one XML element, entities as they are.
std::string element(const std::string& xml, const std::string& name) {
    const std::size_t open = xml.find("<" + name + ">");
    const std::size_t close = xml.find("</" + name + ">");
    if (open == std::string::npos || close == std::string::npos || close < open) return "";
    return xml.substr(open + name.size() + 2, close - open - name.size() - 2);
}

bool ended(int pid) {
    if (::kill(pid, 0) != 0) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    const std::size_t close = text.rfind(')');
    return close == std::string::npos || text.compare(close + 1, 3, " Z ") == 0;
}

// trellon and htdocs/ of this build, with plug-ins added.
class ProgramFolder {
public:
    ProgramFolder() {
        namespace fs = std::filesystem;
        fs::copy_file(std::string(TRELLON_BINARY_DIR) + "/trellon", dir_.file("trellon"));
        fs::copy(std::string(TRELLON_BINARY_DIR) + "/htdocs", dir_.file("htdocs"),
                 fs::copy_options::recursive);
    }
    std::string plugins() const { return dir_.file("htdocs/plugins"); }
    const std::string& path() const { return dir_.path(); }

private:
    TempDir dir_;
};

// A plug-in with no fields that runs commandLine.
void addPlugin(const ProgramFolder& folder, const std::string& name, const std::string& commandLine,
               const std::string& timeLimit = "60") {
    PluginProperties p = validPluginProperties();
    p.remove("field.1")
        .remove("host.required")
        .remove("host.helpMessage")
        .set("commandLine", commandLine)
        .set("timeLimit", timeLimit)
        .set("menu", name);
    writePlugin(folder.plugins() + "/" + name, name, p);
}

class LabAgentClient {
public:
    explicit LabAgentClient(const netlab::Host& host) : host_(host) {}
    std::string get(const std::string& path) const {
        std::string error;
        const std::string reply =
            host_.tcpExchange("127.0.0.1", 4044, "GET " + path + " HTTP/1.0\r\n\r\n", 90s, &error);
        return reply.empty() ? "(no reply: " + error + ")" : reply;
    }
    // Starts a plug-in as a program; the test identifier (0 when refused).
    int run(const std::string& plugin, const std::string& query) const {
        const std::string body = bodyOf(get("/run_" + plugin + "?" + query + "&format=xml"));
        std::smatch m;
        if (!std::regex_search(body, m, std::regex("/results\\?id=([0-9]+)&format=xml"))) {
            ADD_FAILURE() << "refused: " << body;
            return 0;
        }
        return std::stoi(m[1]);
    }
    std::string xml(int id) const {
        return bodyOf(get("/results?id=" + std::to_string(id) + "&format=xml"));
    }
    // The XML once the test is done, or "" at the deadline.
    std::string waitDone(int id, std::chrono::seconds limit = 30s) const {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            const std::string document = xml(id);
            if (document.find("<done>1</done>") != std::string::npos) return document;
            std::this_thread::sleep_for(100ms);
        }
        return "";
    }

private:
    netlab::Host host_;
};

TEST(PluginAgentTest, CommandInheritsNoDescriptorSignalStateOrAllocatorSettingOfTheAgent) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    ProgramFolder folder;
    // Run without a shell: ls and grep show their own process.
    addPlugin(folder, "fds", "ls -l /proc/self/fd");
    addPlugin(folder, "signals", "grep -E ^Sig(Blk|Ign): /proc/self/status");
    addPlugin(folder, "environment", "env");
    netlab::Lab lab;
    netlab::Host host = lab.addHost("a");
    netlab::AgentOptions options;
    options.programFolder = folder.path();
    netlab::AgentProcess agent(host, options);
    ASSERT_TRUE(agent.ready());
    LabAgentClient client(host);

    const int fds = client.run("fds", "refresh=off");
    ASSERT_GT(fds, 0);
    const std::string listing = element(client.xml(fds), "stdout");
    int descriptors = 0;
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
        std::smatch m;
        if (!std::regex_search(line, m, std::regex(" ([0-9]+) -&amp;gt; (.*)$"))) continue;
        ++descriptors;
        const int fd = std::stoi(m[1]);
        const std::string target = m[2];
        if (fd <= 2)
            EXPECT_EQ(target.rfind("pipe:", 0), 0u) << line;
        else
            EXPECT_EQ(fd, 3) << "inherited: " << line;  // 3: the folder ls reads
        EXPECT_EQ(target.find("socket:"), std::string::npos) << line;
        EXPECT_EQ(target.find("log.txt"), std::string::npos) << line;
    }
    EXPECT_EQ(descriptors, 4) << listing;

    const int signals = client.run("signals", "refresh=off");
    ASSERT_GT(signals, 0);
    const std::string status = element(client.xml(signals), "stdout");
    EXPECT_NE(status.find("SigBlk:\t0000000000000000"), std::string::npos) << status;
    std::smatch ignored;
    ASSERT_TRUE(std::regex_search(status, ignored, std::regex("SigIgn:\t([0-9a-f]+)"))) << status;
    // 1 to 31 at their defaults, SIGPIPE among them (the C library keeps
    // its two internal real-time signals to itself).
    EXPECT_EQ(std::stoull(ignored[1], nullptr, 16) & 0x7fffffffULL, 0u) << status;

    // The agent started itself again with the threads' allocation caches
    // off (not under a sanitizer, which brings its own allocator); the
    // command gets the environment the agent was started with.
    std::string agentStart = readFile("/proc/" + std::to_string(agent.pid()) + "/environ");
    std::replace(agentStart.begin(), agentStart.end(), '\0', '\n');
#if defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(agentStart.find("tcache_count"), std::string::npos) << agentStart;
#else
    EXPECT_NE(agentStart.find("glibc.malloc.tcache_count=0"), std::string::npos) << agentStart;
#endif
    const int environment = client.run("environment", "refresh=off");
    ASSERT_GT(environment, 0);
    const std::string variables = element(client.xml(environment), "stdout");
    EXPECT_NE(variables.find("TRELLON_SETTINGS="), std::string::npos) << variables;
    EXPECT_EQ(variables.find("TRELLON_ALLOCATOR"), std::string::npos) << variables;
    if (::getenv("GLIBC_TUNABLES") == nullptr) {
        EXPECT_EQ(variables.find("GLIBC_TUNABLES"), std::string::npos) << variables;
    }
    EXPECT_EQ(agent.stop(), 0);
}

TEST(PluginAgentTest, CancelAndShutdownEndTheCommandWithWhatItStarted) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    ProgramFolder folder;
    addPlugin(folder, "sleeper", "./sleeper.sh", "180");
    writeScript(folder.plugins() + "/sleeper/sleeper.sh", "sleep 120 &\necho $! $$\nwait");
    netlab::Lab lab;
    netlab::Host host = lab.addHost("a");
    netlab::AgentOptions options;
    options.programFolder = folder.path();
    netlab::AgentProcess agent(host, options);
    ASSERT_TRUE(agent.ready());
    LabAgentClient client(host);

    // The process ids the command printed, read off its results page (the
    // record's XML has the output only once the run has ended).
    auto pids = [&](int id) {
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            const std::string page = bodyOf(client.get("/results?id=" + std::to_string(id)));
            std::smatch m;
            if (std::regex_search(page, m, std::regex("<PRE>([0-9]+) ([0-9]+)\n")))
                return std::vector<int>{std::stoi(m[1]), std::stoi(m[2])};
            std::this_thread::sleep_for(100ms);
        }
        return std::vector<int>{};
    };

    const int cancelled = client.run("sleeper", "x=1");
    ASSERT_GT(cancelled, 0);
    std::vector<int> first = pids(cancelled);
    ASSERT_EQ(first.size(), 2u);
    const auto cancelAt = Clock::now();
    EXPECT_EQ(client.get("/cancel?id=" + std::to_string(cancelled)), "OK\r\n");
    const std::string document = client.waitDone(cancelled, 10s);
    EXPECT_LT(Clock::now() - cancelAt, 3s);
    EXPECT_NE(document.find("This test was cancelled by the user."), std::string::npos) << document;
    for (int pid : first) EXPECT_TRUE(ended(pid)) << pid << " outlived the cancel";

    const int running = client.run("sleeper", "x=2");
    ASSERT_GT(running, 0);
    std::vector<int> second = pids(running);
    ASSERT_EQ(second.size(), 2u);
    const auto stopAt = Clock::now();
    EXPECT_EQ(agent.stop(), 0);
    EXPECT_LT(Clock::now() - stopAt, 12s) << "the agent waited for the plug-in";
    const auto deadline = Clock::now() + 5s;
    while ((!ended(second[0]) || !ended(second[1])) && Clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    for (int pid : second) EXPECT_TRUE(ended(pid)) << pid << " outlived the agent";
}

}  // namespace
}  // namespace trellon::testing
