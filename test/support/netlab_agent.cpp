#include "support/netlab_agent.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace trellon::netlab {

namespace {

std::string defaultProgramFolder() {
    const char* chosen = std::getenv("TRELLON_NETLAB_AGENT_DIR");
    if (chosen != nullptr && *chosen != '\0') return chosen;
    return TRELLON_BINARY_DIR;
}

std::string lastLines(const std::string& text, std::size_t count) {
    std::size_t start = text.size();
    for (std::size_t seen = 0; start > 0 && seen <= count;) {
        --start;
        if (text[start] == '\n') ++seen;
    }
    return start == 0 ? text : text.substr(start + 1);
}

}  // namespace

AgentProcess::AgentProcess(const Host& host, AgentOptions options)
    : host_(host), options_(std::move(options)) {
    namespace fs = std::filesystem;
    std::string source =
        options_.programFolder.empty() ? defaultProgramFolder() : options_.programFolder;
    if (!fs::exists(source + "/trellon")) {
        throw std::runtime_error("AgentProcess: no trellon in " + source +
                                 " (build the trellon target first)");
    }
    temp_ = std::make_unique<testing::TempDir>();
    folder_ = temp_->path();
    fs::copy_file(source + "/trellon", folder_ + "/trellon");
    if (fs::exists(source + "/htdocs")) {
        fs::copy(source + "/htdocs", folder_ + "/htdocs", fs::copy_options::recursive);
    } else {
        fs::create_directory(folder_ + "/htdocs");
    }

    std::string settings;
    int controlPort = 4044;
    for (const auto& [name, value] : options_.settings) {
        settings += name + "=" + value + "\n";
        if (name == "controlPort") controlPort = std::atoi(value.c_str());
    }
    testing::writeFile(settingsPath(), settings);
    if (options_.readyPort == 0) options_.readyPort = controlPort;

    std::vector<std::string> argv{folder_ + "/trellon"};
    argv.insert(argv.end(), options_.arguments.begin(), options_.arguments.end());
    ProcessOptions run;
    run.workingDirectory = folder_;
    run.environment = {"TRELLON_SETTINGS=" + settingsPath()};
    run.outputPath = folder_ + "/console.txt";
    process_ = std::make_unique<Process>(host_.start(std::move(argv), std::move(run)));

    if (options_.waitUntilReady) waitUntilReady();
}

::testing::AssertionResult AgentProcess::waitUntilReady() {
    if (waitListening(options_.readyPort)) {
        readyError_.clear();
    } else if (!process_->running()) {
        readyError_ = "trellon exited (status " +
                      std::to_string(process_->waitFor({}).value_or(-1)) +
                      ") before it listened on port " + std::to_string(options_.readyPort);
    } else {
        readyError_ = "trellon did not listen on port " + std::to_string(options_.readyPort) +
                      " within " + std::to_string(options_.startTimeout.count()) + " ms";
    }
    return ready();
}

AgentProcess::~AgentProcess() {
    try {
        stop();
        if (::testing::Test::HasFailure()) printDiagnostics();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "AgentProcess: %s\n", error.what());
    }
}

::testing::AssertionResult AgentProcess::ready() const {
    if (readyError_.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << readyError_ << " (in host " << host_.name()
                                         << ", folder " << folder_ << "); console ends:\n"
                                         << lastLines(console(), 20);
}

bool AgentProcess::waitListening(int port) const {
    auto deadline = std::chrono::steady_clock::now() + options_.startTimeout;
    // A bounded poll: nothing announces the listener to another process. The
    // listener's state is read, not probed with a connection the agent would
    // have to serve.
    for (;;) {
        if (host_.isListening(port)) return true;
        if (!process_->running() || std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int AgentProcess::stop() {
    if (exitStatus_) return *exitStatus_;
    if (!process_->running()) {
        exitStatus_ = process_->waitFor({});
        return exitStatus_.value_or(-1);
    }
    requestStop();
    exitStatus_ = process_->waitFor(options_.stopTimeout);
    if (!exitStatus_) {
        killed_ = true;
        exitStatus_ = process_->stop(SIGKILL, std::chrono::seconds(10));
    }
    return *exitStatus_;
}

void AgentProcess::requestStop() {
    // Once: a second SIGINT is a different path in the agent (logged, ignored).
    if (exitStatus_ || stopRequested_) return;
    stopRequested_ = true;
    process_->signal(SIGINT);
}

bool AgentProcess::running() {
    return process_->running();
}

std::string AgentProcess::console() const {
    return testing::readFile(folder_ + "/console.txt");
}

std::string AgentProcess::log() const {
    return testing::readFile(folder_ + "/htdocs/log.txt");
}

void AgentProcess::printDiagnostics() const {
    std::printf(
        "---- trellon in host %s (%s), console:\n%s\n---- htdocs/log.txt:\n%s\n---- end of trellon "
        "in %s\n",
        host_.name().c_str(), host_.address().c_str(), console().c_str(), log().c_str(),
        host_.name().c_str());
    std::fflush(stdout);
}

}  // namespace trellon::netlab
