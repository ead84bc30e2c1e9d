// A headless Chromium driven over the DevTools protocol, for browser tests.
//
// The browser is started with --remote-debugging-pipe: it reads protocol
// messages from file descriptor 3 and writes its answers and events to 4,
// each a JSON text ended by a NUL byte. That needs no WebSocket and no
// port, and works inside a network namespace ("ip netns exec" keeps the
// descriptors). One page target is opened and attached in flat mode, so
// page commands carry its session id. Every wait has a deadline; the
// destructor closes the browser and ends its whole process group.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace trellon::testing::cdp {

// --- A small JSON value, enough for the protocol's answers ---------------

struct Json {
    enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> fields;

    const Json& operator[](const std::string& name) const {
        static const Json none;
        auto it = fields.find(name);
        return it == fields.end() ? none : it->second;
    }
    bool has(const std::string& name) const { return fields.count(name) != 0; }
};

class JsonParser {
public:
    explicit JsonParser(const std::string& text) : text_(text) {}

    std::optional<Json> parse() {
        Json value;
        if (!parseValue(value)) return std::nullopt;
        skipSpace();
        if (at_ != text_.size()) return std::nullopt;
        return value;
    }

private:
    void skipSpace() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' ||
                                      text_[at_] == '\r' || text_[at_] == '\t')) {
            ++at_;
        }
    }
    bool literal(const char* word) {
        const std::string w = word;
        if (text_.compare(at_, w.size(), w) != 0) return false;
        at_ += w.size();
        return true;
    }
    bool parseValue(Json& value) {
        skipSpace();
        if (at_ >= text_.size()) return false;
        const char c = text_[at_];
        if (c == '{') return parseObject(value);
        if (c == '[') return parseArray(value);
        if (c == '"') {
            value.kind = Json::kString;
            return parseString(value.text);
        }
        if (literal("true")) {
            value.kind = Json::kBool;
            value.boolean = true;
            return true;
        }
        if (literal("false")) {
            value.kind = Json::kBool;
            return true;
        }
        if (literal("null")) return true;
        return parseNumber(value);
    }
    bool parseNumber(Json& value) {
        const std::size_t start = at_;
        while (at_ < text_.size() &&
               std::string("+-0123456789.eE").find(text_[at_]) != std::string::npos)
            ++at_;
        if (at_ == start) return false;
        value.kind = Json::kNumber;
        value.number = std::strtod(text_.substr(start, at_ - start).c_str(), nullptr);
        return true;
    }
    static void appendUtf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    bool hex4(std::uint32_t& code) {
        if (at_ + 4 > text_.size()) return false;
        code = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = text_[at_++];
            code <<= 4;
            if (h >= '0' && h <= '9') {
                code |= static_cast<std::uint32_t>(h - '0');
            } else if (h >= 'a' && h <= 'f') {
                code |= static_cast<std::uint32_t>(h - 'a' + 10);
            } else if (h >= 'A' && h <= 'F') {
                code |= static_cast<std::uint32_t>(h - 'A' + 10);
            } else {
                return false;
            }
        }
        return true;
    }
    bool parseString(std::string& out) {
        ++at_;  // the opening quote
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) return false;
            const char e = text_[at_++];
            switch (e) {
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    std::uint32_t code = 0;
                    if (!hex4(code)) return false;
                    if (code >= 0xD800 && code < 0xDC00 && text_.compare(at_, 2, "\\u") == 0) {
                        at_ += 2;
                        std::uint32_t low = 0;
                        if (!hex4(low)) return false;
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    }
                    appendUtf8(out, code);
                    break;
                }
                default:
                    out += e;
                    break;
            }
        }
        return false;
    }
    bool parseArray(Json& value) {
        value.kind = Json::kArray;
        ++at_;
        skipSpace();
        if (at_ < text_.size() && text_[at_] == ']') {
            ++at_;
            return true;
        }
        for (;;) {
            Json item;
            if (!parseValue(item)) return false;
            value.items.push_back(std::move(item));
            skipSpace();
            if (at_ >= text_.size()) return false;
            if (text_[at_] == ',') {
                ++at_;
                continue;
            }
            if (text_[at_] == ']') {
                ++at_;
                return true;
            }
            return false;
        }
    }
    bool parseObject(Json& value) {
        value.kind = Json::kObject;
        ++at_;
        skipSpace();
        if (at_ < text_.size() && text_[at_] == '}') {
            ++at_;
            return true;
        }
        for (;;) {
            skipSpace();
            std::string name;
            if (at_ >= text_.size() || text_[at_] != '"' || !parseString(name)) return false;
            skipSpace();
            if (at_ >= text_.size() || text_[at_] != ':') return false;
            ++at_;
            Json item;
            if (!parseValue(item)) return false;
            value.fields[name] = std::move(item);
            skipSpace();
            if (at_ >= text_.size()) return false;
            if (text_[at_] == ',') {
                ++at_;
                continue;
            }
            if (text_[at_] == '}') {
                ++at_;
                return true;
            }
            return false;
        }
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

// A JSON string literal of text.
inline std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char code[8];
                    std::snprintf(code, sizeof(code), "\\u%04x", c);
                    out += code;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

inline std::string base64Decode(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        const int v = value(c);
        if (v < 0) continue;  // padding and line breaks
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// --- The browser ----------------------------------------------------------

class Browser {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        std::string program = "/usr/bin/chromium";
        std::string netns;       // run inside this network namespace when set
        std::string profileDir;  // a fresh --user-data-dir
        std::string logPath;     // the browser's standard output and error
        int width = 1200;
        int height = 1400;
    };

    explicit Browser(Options options) : options_(std::move(options)) {}
    ~Browser() { close(); }

    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // Starts the browser and opens one page; false (with why()) when it fails.
    bool start() {
        int toBrowser[2], fromBrowser[2];
        if (::pipe(toBrowser) != 0 || ::pipe(fromBrowser) != 0) return fail("pipe failed");
        std::vector<std::string> args;
        if (!options_.netns.empty()) args = {"/usr/sbin/ip", "netns", "exec", options_.netns};
        args.insert(
            args.end(),
            {options_.program, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-quic", "--disable-dev-shm-usage", "--no-default-browser-check",
             "--user-data-dir=" + options_.profileDir, "--remote-debugging-pipe",
             "--window-size=" + std::to_string(options_.width) + "," +
                 std::to_string(options_.height),
             "about:blank"});
        pid_ = ::fork();
        if (pid_ < 0) return fail("fork failed");
        if (pid_ == 0) {
            // A group of its own, so the renderers and helpers end with it.
            ::setpgid(0, 0);
            const int log = ::open(options_.logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int devnull = ::open("/dev/null", O_RDONLY);
            // Move the pipe ends out of the way of 3 and 4 before placing them.
            const int in = ::fcntl(toBrowser[0], F_DUPFD, 10);
            const int out = ::fcntl(fromBrowser[1], F_DUPFD, 10);
            ::dup2(devnull, 0);
            ::dup2(log, 1);
            ::dup2(log, 2);
            ::dup2(in, 3);
            ::dup2(out, 4);
            for (int fd = 5; fd < 1024; ++fd) ::close(fd);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::setpgid(pid_, pid_);  // also from here, whichever runs first
        ::close(toBrowser[0]);
        ::close(fromBrowser[1]);
        writeFd_ = toBrowser[1];
        readFd_ = fromBrowser[0];
        ::fcntl(writeFd_, F_SETFD, FD_CLOEXEC);
        ::fcntl(readFd_, F_SETFD, FD_CLOEXEC);

        auto version = call("Browser.getVersion", "{}", "", std::chrono::seconds(30));
        if (!version) return fail("no answer from the browser: " + why_);
        product_ = (*version)["product"].text;
        auto target = call("Target.createTarget", "{\"url\":\"about:blank\"}");
        if (!target) return fail("Target.createTarget: " + why_);
        auto attached =
            call("Target.attachToTarget",
                 "{\"targetId\":" + quoted((*target)["targetId"].text) + ",\"flatten\":true}");
        if (!attached) return fail("Target.attachToTarget: " + why_);
        session_ = (*attached)["sessionId"].text;
        if (!call("Page.enable", "{}", session_)) return fail("Page.enable: " + why_);
        return true;
    }

    const std::string& why() const { return why_; }
    const std::string& product() const { return product_; }

    bool navigate(const std::string& url) {
        auto answer = call("Page.navigate", "{\"url\":" + quoted(url) + "}", session_);
        if (!answer) return false;
        if (answer->has("errorText"))
            return fail("navigation failed: " + (*answer)["errorText"].text);
        return true;
    }

    // Evaluates an expression in the page; the value as JSON (returnByValue).
    std::optional<Json> evaluate(const std::string& expression) {
        auto answer = call("Runtime.evaluate",
                           "{\"expression\":" + quoted(expression) +
                               ",\"returnByValue\":true,\"awaitPromise\":true}",
                           session_);
        if (!answer) return std::nullopt;
        if (answer->has("exceptionDetails")) {
            fail("script failed: " +
                 (*answer)["exceptionDetails"]["exception"]["description"].text);
            return std::nullopt;
        }
        return (*answer)["result"]["value"];
    }

    std::string evaluateText(const std::string& expression) {
        auto value = evaluate(expression);
        return value && value->kind == Json::kString ? value->text : std::string();
    }

    // Waits until the expression gives true, evaluating it now and then
    // (navigations in between are normal: the page is then not ready yet).
    bool waitFor(const std::string& expression, std::chrono::milliseconds limit) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            auto value = evaluate(expression);
            if (value && value->kind == Json::kBool && value->boolean) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return fail("timed out waiting for: " + expression +
                    (why_.empty() ? "" : " (" + why_ + ")"));
    }

    // The whole page as PNG bytes.
    std::string screenshot() {
        auto answer = call("Page.captureScreenshot",
                           "{\"format\":\"png\",\"captureBeyondViewport\":true}", session_);
        return answer ? base64Decode((*answer)["data"].text) : std::string();
    }

    void close() {
        if (pid_ <= 0) return;
        if (writeFd_ >= 0) {
            call("Browser.close", "{}", "", std::chrono::seconds(5));
            ::close(writeFd_);
            writeFd_ = -1;
        }
        // Wait for the exit without reaping: while the browser is a zombie its
        // number, and so its group's, cannot be given to anybody else.
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        for (;;) {
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
                break;
            if (info.si_pid == pid_ || Clock::now() >= deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        // Whatever of the group is still there (helpers outliving the browser).
        ::kill(-pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        if (readFd_ >= 0) ::close(readFd_);
        readFd_ = -1;
        pid_ = -1;
    }

private:
    bool fail(const std::string& text) {
        why_ = text;
        return false;
    }

    // Sends a command and waits for its answer; events and other answers
    // met on the way are dropped. The "result" object, or nothing.
    std::optional<Json> call(const std::string& method, const std::string& params,
                             const std::string& session = "",
                             std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const int id = ++lastId_;
        std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":" + quoted(method) +
                              ",\"params\":" + params +
                              (session.empty() ? "" : ",\"sessionId\":" + quoted(session)) + "}";
        message.push_back('\0');
        if (!writeAll(message)) {
            fail("cannot write to the browser");
            return std::nullopt;
        }
        const auto deadline = Clock::now() + limit;
        for (;;) {
            auto text = readMessage(deadline);
            if (!text) {
                fail(method + ": no answer before the deadline");
                return std::nullopt;
            }
            auto json = JsonParser(*text).parse();
            if (!json || (*json)["id"].kind != Json::kNumber ||
                static_cast<int>((*json)["id"].number) != id)
                continue;
            if (json->has("error")) {
                fail(method + ": " + (*json)["error"]["message"].text);
                return std::nullopt;
            }
            return (*json)["result"];
        }
    }

    bool writeAll(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::write(writeFd_, bytes.data() + sent, bytes.size() - sent);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    std::optional<std::string> readMessage(Clock::time_point deadline) {
        for (;;) {
            const std::size_t end = pending_.find('\0');
            if (end != std::string::npos) {
                std::string message = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return message;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) return std::nullopt;
            pollfd p{readFd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char buffer[65536];
            const ssize_t n = ::read(readFd_, buffer, sizeof(buffer));
            if (n <= 0) return std::nullopt;  // the browser went away
            pending_.append(buffer, static_cast<std::size_t>(n));
        }
    }

    Options options_;
    pid_t pid_ = -1;
    int writeFd_ = -1;
    int readFd_ = -1;
    int lastId_ = 0;
    std::string session_;
    std::string pending_;
    std::string why_;
    std::string product_;
};

}  // namespace trellon::testing::cdp
