// The parts of the settings store that are the same on every system: the
// text escaping of the settings file and the test hook before a save.
#include "platform/settings_store.h"

#include <mutex>

#include "platform/common/settings_detail.h"

namespace trellon::platform {

namespace {

std::mutex& hookMutex() {
    static std::mutex m;
    return m;
}

std::function<bool()>& beforeRenameHook() {
    static std::function<bool()> hook;
    return hook;
}

}  // namespace

bool settings_detail::beforeSave() {
    std::lock_guard<std::mutex> guard(hookMutex());
    return !beforeRenameHook() || beforeRenameHook()();
}

SettingsStore::SettingsStore(std::string path) : path_(std::move(path)) {}

void SettingsStore::setBeforeRenameHook(std::function<bool()> hook) {
    std::lock_guard<std::mutex> guard(hookMutex());
    beforeRenameHook() = std::move(hook);
}

std::string SettingsStore::escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string SettingsStore::unescape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char next = text[++i];
            if (next == 'n')
                out += '\n';
            else if (next == 'r')
                out += '\r';
            else
                out += next;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace trellon::platform
