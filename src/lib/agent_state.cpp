#include "lib/agent_state.h"

#include <ctime>

#include "platform/clock.h"

namespace trellon {

namespace {
std::atomic<AgentState*> gCurrent{nullptr};

std::mutex& hostNameLock() {
    static std::mutex m;
    return m;
}
std::string& hostNameText() {
    static std::string name = "unknown";
    return name;
}
}  // namespace

AgentState::AgentState() : startTimeText_(formatHttpDate(platform::nowSeconds())) {
    gCurrent.store(this);
}

AgentState::~AgentState() {
    AgentState* self = this;
    gCurrent.compare_exchange_strong(self, nullptr);
}

AgentState* AgentState::current() {
    return gCurrent.load();
}

#define TRL_LOCKED_STRING(getter, setter, member)                   \
    std::string AgentState::getter() const {                        \
        std::lock_guard<std::recursive_mutex> guard(settingsLock_); \
        return member;                                              \
    }                                                               \
    void AgentState::setter(const std::string& value) {             \
        std::lock_guard<std::recursive_mutex> guard(settingsLock_); \
        member = value;                                             \
    }

TRL_LOCKED_STRING(name, setName, name_)
TRL_LOCKED_STRING(password, setPassword, password_)
TRL_LOCKED_STRING(hint, setHint, hint_)
TRL_LOCKED_STRING(htdocsPath, setHtdocsPath, htdocsPath_)
TRL_LOCKED_STRING(workingDirectory, setWorkingDirectory, workingDirectory_)
TRL_LOCKED_STRING(lastRemoteComputer, setLastRemoteComputer, lastRemoteComputer_)
#undef TRL_LOCKED_STRING

void AgentState::appendStatus(const std::string& text) {
    std::lock_guard<std::mutex> guard(statusLock_);
    statusText_ += text;
}

std::string AgentState::statusText() const {
    std::lock_guard<std::mutex> guard(statusLock_);
    return statusText_;
}

std::string hostName() {
    std::lock_guard<std::mutex> guard(hostNameLock());
    return hostNameText();
}

void setHostName(const std::string& name) {
    std::lock_guard<std::mutex> guard(hostNameLock());
    hostNameText() = name;
}

std::string formatHttpDate(long long seconds) {
    std::tm tm{};
    platform::utcCalendarTime(seconds, tm);
    char buffer[64];
    std::strftime(buffer, sizeof(buffer), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return buffer;
}

}  // namespace trellon
