#include "platform/settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/common/settings_detail.h"

namespace trellon::platform {

namespace {

std::string folderOf(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

bool makeFolders(const std::string& folder) {
    if (folder.empty() || folder == "." || folder == "/") return true;
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (!makeFolders(folderOf(folder))) return false;
    return ::mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

bool writeFully(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string SettingsStore::defaultPath() {
    const char* env = std::getenv("TRELLON_SETTINGS");
    if (env != nullptr && *env != '\0') return env;
    return "/etc/trellon/agent.conf";
}

bool SettingsStore::openFullAccess() const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return ::access(path_.c_str(), R_OK | W_OK) == 0;
}

bool SettingsStore::readAll(SettingsValues& values) const {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        values.emplace_back(unescape(line.substr(0, eq)), unescape(line.substr(eq + 1)));
    }
    return true;
}

bool SettingsStore::readValue(const std::string& name, std::string& value) const {
    SettingsValues values;
    if (!readAll(values)) return false;
    for (const auto& [n, v] : values) {
        if (n == name) {
            if (v.size() > kMaxValueLength) return false;
            value = v;
            return true;
        }
    }
    return false;
}

bool SettingsStore::writeValues(const SettingsValues& updates) const {
    SettingsValues values;
    readAll(values);  // a missing file simply starts empty
    for (const auto& [name, value] : updates) {
        bool replaced = false;
        for (auto& entry : values) {
            if (entry.first == name) {
                entry.second = value;
                replaced = true;
                break;
            }
        }
        if (!replaced) values.emplace_back(name, value);
    }

    std::ostringstream text;
    for (const auto& [name, value] : values) text << escape(name) << '=' << escape(value) << '\n';

    std::string temp = path_ + ".tmp." + std::to_string(::getpid());
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 07777);
    bool ok = writeFully(fd, text.str()) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok) {
        if (!settings_detail::beforeSave()) ok = false;
    }
    if (ok) ok = ::rename(temp.c_str(), path_.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

bool SettingsStore::create(bool& created) const {
    created = false;
    if (!makeFolders(folderOf(path_))) return false;
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd);
        created = true;
        return true;
    }
    return errno == EEXIST && openFullAccess();
}

bool SettingsStore::remove() const {
    return ::unlink(path_.c_str()) == 0;
}

}  // namespace trellon::platform
