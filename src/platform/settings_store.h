// Settings store: the agent's one registry key, kept as one text file.
//
// The agent reads and writes REG_SZ-style named text values. Here a key is a
// file of "name=value" lines (backslash, line feed and carriage return escaped)
// so any value round-trips. Writes are atomic: a temporary file in the same
// folder is written, flushed and renamed over the old one, so a crash in the
// middle of a save never leaves a half-written key behind.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace trellon::platform {

using SettingsValues = std::vector<std::pair<std::string, std::string>>;

class SettingsStore {
public:
    // Values of this many characters or more cannot be read back (the reader's
    // buffer holds 127 characters and the terminator).
    static constexpr std::size_t kMaxValueLength = 127;

    explicit SettingsStore(std::string path = defaultPath());

    // TRELLON_SETTINGS when set and not empty, else /etc/trellon/agent.conf.
    static std::string defaultPath();

    const std::string& path() const { return path_; }

    // "Open with full access": the file exists and this process may read and write it.
    bool openFullAccess() const;

    // False when the value is missing, too long, or the file cannot be read.
    bool readValue(const std::string& name, std::string& value) const;

    // Sets the given values (replacing values of the same name, keeping the
    // others) in one atomic rewrite of the file.
    bool writeValues(const SettingsValues& values) const;

    // Makes the folder and an empty file when they are missing. created tells
    // whether the file was new.
    bool create(bool& created) const;

    // Removes the file; false when there was none or it could not be removed.
    bool remove() const;

    // Test hook, called after the temporary file is written and flushed and
    // before it is renamed; returning false abandons the write there.
    static void setBeforeRenameHook(std::function<bool()> hook);

    // Escaping used by the file format, exposed for tests.
    static std::string escape(const std::string& text);
    static std::string unescape(const std::string& text);

private:
    bool readAll(SettingsValues& values) const;

    std::string path_;
};

}  // namespace trellon::platform
