// Runs the built entityfilter program with its standard streams on pipes (or on files where a
// test needs a particular kind of file) and checks the exact bytes it writes and its exit code.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

extern char** environ;

namespace trellon {
namespace {

const std::string kFilter = std::string(TRELLON_BINARY_DIR) + "/entityfilter";

// Every Latin-1 character from 160 to 255 in order, by its HTML 4 entity name.
constexpr const char* kLatin1Names =
    "nbsp iexcl cent pound curren yen brvbar sect uml copy ordf laquo not shy reg macr "
    "deg plusmn sup2 sup3 acute micro para middot cedil sup1 ordm raquo frac14 frac12 frac34 "
    "iquest "
    "Agrave Aacute Acirc Atilde Auml Aring AElig Ccedil Egrave Eacute Ecirc Euml Igrave Iacute "
    "Icirc Iuml ETH Ntilde Ograve Oacute Ocirc Otilde Ouml times Oslash Ugrave Uacute Ucirc Uuml "
    "Yacute THORN szlig agrave aacute acirc atilde auml aring aelig ccedil egrave eacute ecirc "
    "euml igrave iacute icirc iuml eth ntilde ograve oacute ocirc otilde ouml divide oslash ugrave "
    "uacute ucirc uuml yacute thorn yuml";

class Fd {
  public:
    Fd() = default;
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    bool open() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

struct PipePair {
    Fd read;
    Fd write;
};

void makePipe(PipePair& pipe) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    pipe.read.reset(fds[0]);
    pipe.write.reset(fds[1]);
}

// Killed and reaped however the test ends, unless it was waited for.
class Child {
  public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    int wait() {
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return status;
    }

  private:
    pid_t pid_;
};

enum class Source { kPipe, kFile, kDirectory };
enum class Sink { kPipe, kFullDevice, kClosedPipe };

struct FilterRun {
    bool finished = false;  // false: still running at the deadline, then killed
    int status = 0;
    std::string out;
    std::string err;

    bool exitedWith(int code) const {
        return finished && WIFEXITED(status) && WEXITSTATUS(status) == code;
    }
    bool failedCleanly() const {
        return finished && WIFEXITED(status) && WEXITSTATUS(status) != 0 && !err.empty();
    }
};

// Drains one output pipe; returns false once it reached its end.
bool drain(Fd& fd, std::string& into) {
    char chunk[65536];
    const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got > 0) {
        into.append(chunk, static_cast<std::size_t>(got));
        return true;
    }
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    fd.reset();
    return false;
}

void runFilter(const std::string& input, FilterRun& run, Source source = Source::kPipe,
               Sink sink = Sink::kPipe) {
    // The filter may stop reading before it has all its input (failed writes); its early exit
    // must not end this test program with a signal. Its own SIGPIPE is reset to the default below.
    ::signal(SIGPIPE, SIG_IGN);

    testing::TempDir dir;
    PipePair in, out, err;
    makePipe(err);
    if (source == Source::kPipe) makePipe(in);
    if (sink != Sink::kFullDevice) makePipe(out);
    if (::testing::Test::HasFatalFailure()) return;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string inputFile = dir.file("input");
    if (source == Source::kPipe) {
        posix_spawn_file_actions_adddup2(&actions, in.read.get(), STDIN_FILENO);
    } else {
        const std::string& path = source == Source::kFile ? inputFile : dir.path();
        if (source == Source::kFile) testing::writeFile(inputFile, input);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, path.c_str(), O_RDONLY, 0);
    }
    if (sink == Sink::kFullDevice) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/full", O_WRONLY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&actions, out.write.get(), STDOUT_FILENO);
    }
    posix_spawn_file_actions_adddup2(&actions, err.write.get(), STDERR_FILENO);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults, mask;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigemptyset(&mask);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setsigmask(&attr, &mask);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    char* argv[] = {const_cast<char*>(kFilter.c_str()), nullptr};
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, kFilter.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ASSERT_EQ(spawned, 0) << "cannot start " << kFilter;
    Child child(pid);

    in.read.reset();
    out.write.reset();
    err.write.reset();
    if (sink == Sink::kClosedPipe) out.read.reset();
    if (in.write.open()) ::fcntl(in.write.get(), F_SETFL, O_NONBLOCK);

    std::size_t sent = 0;
    if (in.write.open() && input.empty()) in.write.reset();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (out.read.open() || err.read.open()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            ADD_FAILURE() << "entityfilter still running after 60 s";
            return;
        }
        std::vector<pollfd> fds;
        if (in.write.open()) fds.push_back({in.write.get(), POLLOUT, 0});
        if (out.read.open()) fds.push_back({out.read.get(), POLLIN, 0});
        if (err.read.open()) fds.push_back({err.read.get(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0) {
            ASSERT_EQ(errno, EINTR);
            continue;
        }
        for (const pollfd& p : fds) {
            if (p.revents == 0) continue;
            if (p.fd == in.write.get()) {
                const ssize_t put = ::write(p.fd, input.data() + sent, input.size() - sent);
                if (put > 0) sent += static_cast<std::size_t>(put);
                if ((put < 0 && errno != EAGAIN && errno != EINTR) || sent == input.size()) {
                    in.write.reset();
                }
            } else if (p.fd == out.read.get()) {
                drain(out.read, run.out);
            } else if (p.fd == err.read.get()) {
                drain(err.read, run.err);
            }
        }
    }
    run.status = child.wait();
    run.finished = true;
}

// Independent of the program: the bytes it should write for the given input.
std::string expectedOutput(const std::string& input) {
    std::vector<std::string> names;
    std::istringstream list(kLatin1Names);
    for (std::string name; list >> name;) names.push_back("&" + name + ";");
    EXPECT_EQ(names.size(), 96u);
    std::string expected;
    for (const char c : input) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 160) {
            expected += names.at(byte - 160);
        } else if (byte == '"') {
            expected += "&quot;";
        } else if (byte == '&') {
            expected += "&amp;";
        } else if (byte == '<') {
            expected += "&lt;";
        } else if (byte == '>') {
            expected += "&gt;";
        } else if (byte == '\n') {
            expected += "\r\n";
        } else if (byte != '\r') {
            expected += c;
        }
    }
    return expected;
}

struct Case {
    const char* name;
    std::string input;
    std::string output;
};

void expectCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FilterRun run;
        runFilter(c.input, run);
        EXPECT_TRUE(run.exitedWith(0)) << run.err;
        EXPECT_EQ(run.out, c.output);
        EXPECT_EQ(run.err, "");
    }
}

TEST(EntityFilterTest, ReplacesCharactersByTheirEntities) {
    expectCases({
        {"specials between letters", "a < b & c > d", "a &lt; b &amp; c &gt; d"},
        {"quotes", "say \"hi\"", "say &quot;hi&quot;"},
        {"apostrophe unchanged", "it's", "it's"},
        {"e acute", "caf\xE9", "caf&eacute;"},
        {"y diaeresis", "\xFF", "&yuml;"},
        {"first Latin-1 entity", "\xA0", "&nbsp;"},
        {"128 unchanged", "\x80", "\x80"},
        {"159 unchanged", "\x9F", "\x9F"},
        {"controls unchanged", std::string("\0\t\x1A\x7F", 4), std::string("\0\t\x1A\x7F", 4)},
        {"entities in a row", "<<&&\xE9\xE9", "&lt;&lt;&amp;&amp;&eacute;&eacute;"},
    });
}

TEST(EntityFilterTest, EveryByteValueGivesItsExactOutput) {
    std::string input;
    for (int code = 0; code < 256; ++code) input += static_cast<char>(code);
    // Backwards too, so each entity is also checked against different neighbours.
    input.append(input.rbegin(), input.rend());

    FilterRun run;
    runFilter(input, run);
    ASSERT_TRUE(run.exitedWith(0)) << run.err;
    EXPECT_EQ(run.out, expectedOutput(input));
    // A few fixed points, so that a slip in the expectation itself shows too.
    EXPECT_NE(run.out.find("\x9F&nbsp;&iexcl;"), std::string::npos);
    EXPECT_NE(run.out.find("&thorn;&yuml;&yuml;&thorn;"), std::string::npos);
    EXPECT_NE(run.out.find("!&quot;#$%&amp;'"), std::string::npos);
    EXPECT_NE(run.out.find("\t\r\n\x0B\x0C\x0E"), std::string::npos);
}

TEST(EntityFilterTest, LineEndsLeaveAsCrLfAndOtherCarriageReturnsDisappear) {
    expectCases({
        {"CR LF and LF", "x\r\ny\n", "x\r\ny\r\n"},
        {"lone CR inside a line", "a\rb", "ab"},
        {"lone CR only", "\r", ""},
        {"CR at the end of the input", "end\r", "end"},
        {"LF CR", "a\n\rb", "a\r\nb"},
        {"CR CR LF", "a\r\r\nb", "a\r\nb"},
        {"empty lines", "\n\n\r\n", "\r\n\r\n\r\n"},
    });
}

// Line ends placed at every 4 KiB boundary, where reads from a pipe or file split the input
// whatever the block size of the program: a CR LF pair split across two reads, a lone CR at the
// end of one read, an LF at the start of the next.
TEST(EntityFilterTest, LineEndsAcrossReadBoundaries) {
    constexpr std::size_t kPage = 4096;
    std::string input(2 * 1024 * 1024 + 3, 'a');
    for (std::size_t k = 1; k * kPage < input.size(); ++k) {
        const std::size_t boundary = k * kPage;
        switch (k % 3) {
            case 0:  // CR | LF
                input[boundary - 1] = '\r';
                input[boundary] = '\n';
                break;
            case 1:  // CR | text
                input[boundary - 1] = '\r';
                input[boundary] = 'b';
                break;
            default:  // text | LF, and an entity cut by nothing
                input[boundary - 1] = '\xE9';
                input[boundary] = '\n';
                break;
        }
    }
    input.back() = '\r';
    const std::string expected = expectedOutput(input);

    for (const Source source : {Source::kPipe, Source::kFile}) {
        SCOPED_TRACE(source == Source::kPipe ? "from a pipe" : "from a file");
        FilterRun run;
        runFilter(input, run, source);
        ASSERT_TRUE(run.exitedWith(0)) << run.err;
        ASSERT_EQ(run.out.size(), expected.size());
        EXPECT_TRUE(run.out == expected);
    }
}

// Every byte of a long input at the widest expansion, so the output blocks must take eight
// bytes for each byte read.
TEST(EntityFilterTest, LongInputAtTheWidestExpansion) {
    const std::string input(3 * 1024 * 1024 + 1, '\xB1');
    FilterRun run;
    runFilter(input, run);
    ASSERT_TRUE(run.exitedWith(0)) << run.err;
    ASSERT_EQ(run.out.size(), input.size() * 8);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < run.out.size(); i += 8) {
        if (run.out.compare(i, 8, "&plusmn;") != 0) ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
}

TEST(EntityFilterTest, EmptyInputGivesEmptyOutputAndSuccess) {
    for (const Source source : {Source::kPipe, Source::kFile}) {
        FilterRun run;
        runFilter("", run, source);
        EXPECT_TRUE(run.exitedWith(0)) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
    }
}

TEST(EntityFilterTest, FailuresAreNotReportedAsSuccess) {
    const std::string input(1024 * 1024, 'x');
    {
        SCOPED_TRACE("output to a full disk");
        FilterRun run;
        runFilter(input, run, Source::kPipe, Sink::kFullDevice);
        EXPECT_TRUE(run.failedCleanly()) << "status " << run.status << ": " << run.err;
    }
    {
        SCOPED_TRACE("output pipe closed by its reader");
        FilterRun run;
        runFilter(input, run, Source::kPipe, Sink::kClosedPipe);
        EXPECT_TRUE(run.failedCleanly()) << "status " << run.status << ": " << run.err;
    }
    {
        SCOPED_TRACE("a single byte to a full disk");
        FilterRun run;
        runFilter("x", run, Source::kPipe, Sink::kFullDevice);
        EXPECT_TRUE(run.failedCleanly()) << "status " << run.status << ": " << run.err;
    }
    {
        SCOPED_TRACE("input that cannot be read");
        FilterRun run;
        runFilter("", run, Source::kDirectory);
        EXPECT_TRUE(run.failedCleanly()) << "status " << run.status << ": " << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST(EntityFilterTest, InstallPutsTheFilterBesideTheAgent) {
    const std::filesystem::path buildDir = std::filesystem::path(TRELLON_BINARY_DIR).parent_path();
    testing::TempDir prefix;
    std::string output;
    const int status = testing::runCommand(
        "cmake --install '" + buildDir.string() + "' --prefix '" + prefix.path() + "'", &output);
    if (status == 127) GTEST_SKIP() << "no cmake on the path";
    ASSERT_EQ(status, 0) << output;

    std::vector<std::filesystem::path> filters, agents;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(prefix.path())) {
        if (!entry.is_regular_file()) continue;
        if (entry.path().filename() == "entityfilter") filters.push_back(entry.path());
        if (entry.path().filename() == "trellon") agents.push_back(entry.path());
    }
    ASSERT_EQ(filters.size(), 1u) << output;
    ASSERT_EQ(agents.size(), 1u) << output;
    EXPECT_EQ(filters[0].parent_path(), agents[0].parent_path());
    EXPECT_EQ(::access(filters[0].c_str(), X_OK), 0);
}

}  // namespace
}  // namespace trellon
