// trellon-netlab: the test network lab by hand. Two hosts a and b joined
// through the impairment relay; the program holds them (and runs the relay)
// until Ctrl+C, or while a given command runs in host a.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/netlab.h"
#include "support/netlab_agent.h"

using namespace trellon::netlab;

namespace {

constexpr const char* kUsage =
    "usage: trellon-netlab up [options] [-- command ...]\n"
    "       trellon-netlab sweep      remove namespaces left by runs that died\n"
    "       trellon-netlab list       show the lab namespaces that exist\n"
    "\n"
    "up makes hosts a (10.77.1.1) and b (10.77.1.2) joined through the relay and\n"
    "keeps them until Ctrl+C (SIGUSR1 prints the relay's counts), or runs the\n"
    "command in host a (with NETLAB_A, NETLAB_B, NETLAB_NS_A, NETLAB_NS_B set)\n"
    "and removes everything when it ends, exiting with its status.\n"
    "\n"
    "options (both directions; prefix ab- or ba- for one, e.g. --ab-loss 0.1):\n"
    "  --delay MS  --jitter MS  --jitter-reorders  --loss FRACTION  --duplicate FRACTION\n"
    "  --reorder FRACTION  --reorder-hold MS  --rate MBIT  --rate-queue MS\n"
    "  --seed N      the relay's random seed (default: random, printed)\n"
    "  --agents      start trellon in both hosts on the standard ports\n"
    "  --agent-dir D where trellon and htdocs/ are (default: this build's)\n";

// The per-direction options: name, field, largest sensible value.
struct NumberOption {
    const char* name;
    double Impairment::*field;
    double most;
};
constexpr NumberOption kNumberOptions[] = {
    {"delay", &Impairment::delayMs, 60'000},  {"jitter", &Impairment::jitterMs, 60'000},
    {"loss", &Impairment::loss, 1},           {"duplicate", &Impairment::duplicate, 1},
    {"reorder", &Impairment::reorder, 1},     {"reorder-hold", &Impairment::reorderHoldMs, 60'000},
    {"rate", &Impairment::rateMbit, 100'000}, {"rate-queue", &Impairment::rateQueueMs, 10'000},
};

// Sets the named option from text; false (with a message) for an unknown
// name or a value that is not a number in range.
bool setOption(Impairment& impairment, const std::string& name, const char* text) {
    for (const auto& option : kNumberOptions) {
        if (name != option.name) continue;
        char* end = nullptr;
        double value = std::strtod(text, &end);
        if (end == text || *end != '\0' || !(value >= 0 && value <= option.most)) {
            std::fprintf(stderr, "trellon-netlab: --%s wants a number from 0 to %g, not '%s'\n",
                         option.name, option.most, text);
            return false;
        }
        impairment.*option.field = value;
        return true;
    }
    std::fprintf(stderr, "trellon-netlab: unknown option --%s\n%s", name.c_str(), kUsage);
    return false;
}

void printDirection(const char* title, const DirectionStats& s) {
    std::printf(
        "  %s: received %llu forwarded %llu dropped %llu duplicated %llu reordered %llu "
        "queueDropped %llu "
        "inputDropped %llu late mean %.1f us max %.1f us\n",
        title, static_cast<unsigned long long>(s.received),
        static_cast<unsigned long long>(s.forwarded), static_cast<unsigned long long>(s.dropped),
        static_cast<unsigned long long>(s.duplicated), static_cast<unsigned long long>(s.reordered),
        static_cast<unsigned long long>(s.queueDropped),
        static_cast<unsigned long long>(s.inputDropped), s.meanLateUs, s.maxLateUs);
}

void printStats(const RelayLink& link) {
    RelayStats stats = link.stats();
    std::printf("relay counts:\n");
    printDirection("a to b", stats.aToB);
    printDirection("b to a", stats.bToA);
    std::fflush(stdout);
}

int up(int argc, char** argv) {
    RelayConfig config;
    bool agents = false;
    std::string agentDir;
    std::vector<std::string> command;
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--") {
            command.assign(argv + i + 1, argv + argc);
            break;
        }
        if (arg == "--agents") {
            agents = true;
            continue;
        }
        if (arg.rfind("--", 0) != 0) {
            std::fprintf(stderr, "trellon-netlab: unexpected %s\n%s", arg.c_str(), kUsage);
            return 2;
        }
        std::string name = arg.substr(2);
        bool ab = name.rfind("ab-", 0) == 0;
        bool ba = name.rfind("ba-", 0) == 0;
        if (ab || ba) name = name.substr(3);
        if (name == "jitter-reorders") {
            if (!ba) config.aToB.jitterReorders = true;
            if (!ab) config.bToA.jitterReorders = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "trellon-netlab: %s needs a value\n", arg.c_str());
            return 2;
        }
        const char* value = argv[++i];
        if (name == "seed" && !ab && !ba) {
            config.seed = std::strtoull(value, nullptr, 10);
        } else if (name == "agent-dir" && !ab && !ba) {
            agentDir = value;
        } else {
            if ((!ba && !setOption(config.aToB, name, value)) ||
                (!ab && !setOption(config.bToA, name, value))) {
                return 2;
            }
        }
    }

    // Blocked before any thread starts, so only sigwait below sees them; the
    // lab's own clean-up handlers never run here.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&signals, s);
    if (command.empty()) {
        ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    } else {
        // Ctrl+C is for the command (it shares the terminal's group); the lab
        // goes when the command has ended.
        ::signal(SIGINT, SIG_IGN);
        ::signal(SIGQUIT, SIG_IGN);
    }

    Lab lab;
    Host a = lab.addHost("a");
    Host b = lab.addHost("b");
    RelayLink link = lab.connectThroughRelay(a, b, config);
    std::printf("host a: %s  (ip netns exec %s ...)\nhost b: %s  (ip netns exec %s ...)\n",
                a.address().c_str(), a.namespaceName().c_str(), b.address().c_str(),
                b.namespaceName().c_str());
    std::printf("relay namespace %s, seed %llu, %s\n", link.middleNamespaceName().c_str(),
                static_cast<unsigned long long>(link.seed()),
                link.realtime() ? "SCHED_FIFO" : "normal priority");

    std::vector<std::unique_ptr<AgentProcess>> running;
    if (agents) {
        for (const Host& host : {a, b}) {
            AgentOptions options;
            options.programFolder = agentDir;
            options.waitUntilReady = false;  // both start at once
            running.push_back(std::make_unique<AgentProcess>(host, options));
        }
        for (auto& agent : running) {
            auto ready = agent->waitUntilReady();
            std::printf("trellon in %s (folder %s): %s\n", agent->host().name().c_str(),
                        agent->folder().c_str(),
                        ready ? "listening on its control port" : ready.message());
        }
    }
    std::fflush(stdout);

    int status = 0;
    if (command.empty()) {
        std::printf("Ctrl+C ends the lab; kill -USR1 %d prints the relay's counts.\n",
                    static_cast<int>(::getpid()));
        std::fflush(stdout);
        for (;;) {
            int received = 0;
            if (::sigwait(&signals, &received) != 0) break;
            if (received != SIGUSR1) break;
            printStats(link);
        }
    } else {
        ProcessOptions options;
        options.inheritStdio = true;
        options.environment = {"NETLAB_A=" + a.address(), "NETLAB_B=" + b.address(),
                               "NETLAB_NS_A=" + a.namespaceName(),
                               "NETLAB_NS_B=" + b.namespaceName()};
        Process child = a.start(command, options);
        // A day at most: every wait here has an end.
        auto exited = child.waitFor(std::chrono::hours(24));
        status = exited ? *exited : child.stop(SIGKILL, std::chrono::seconds(5));
    }
    for (auto& agent : running) {
        int agentStatus = agent->stop();
        std::printf("trellon in %s stopped with status %d%s\n", agent->host().name().c_str(),
                    agentStatus, agent->killedAtStop() ? " (killed)" : "");
    }
    printStats(link);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string mode = argv[1];
    std::string why = unavailableReason();
    if (!why.empty() && (mode == "up" || mode == "sweep")) {
        std::fprintf(stderr, "trellon-netlab: %s\n", why.c_str());
        return 1;
    }
    try {
        if (mode == "up") return up(argc - 2, argv + 2);
        if (mode == "sweep") {
            std::string names;
            int removed = sweepLeftovers(&names);
            std::printf("%sremoved %d leftover namespace(s)\n", names.c_str(), removed);
            return 0;
        }
        if (mode == "list") {
            std::string output;
            trellon::testing::runCommand("ls -1 /run/netns 2>/dev/null | grep '^trl-'", &output);
            std::fputs(output.c_str(), stdout);
            return 0;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "trellon-netlab: %s\n", error.what());
        return 1;
    }
    std::fputs(kUsage, stderr);
    return 2;
}
