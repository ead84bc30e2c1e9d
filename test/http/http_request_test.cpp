// HttpRequest over real connections: authentication of the first page, parse
// errors, hostile paths, the not-modified rule, error pages, the "delay"
// variable, reading the request head, and content types.
#include "http/http_request.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "http/embedded_documents.h"
#include "http/http_format.h"
#include "http/server_fixture.h"
#include "http/templates.h"
#include "lib/agent_state.h"
#include "support/http_client.h"
#include "support/test_support.h"

namespace trellon {
namespace {

using testing::Gate;
using testing::GateOpener;
using testing::httpExchange;
using testing::HttpReply;
using testing::httpRequestText;
using testing::RunningServer;
using testing::TempDir;
using testing::textCommand;
using testing::writeFile;

using Clock = std::chrono::steady_clock;

long long millisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string get(const std::string& path, const std::string& protocol = "HTTP/1.0",
                const std::string& headers = "") {
    return httpRequestText("GET", path, protocol, headers);
}

int countOf(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos;
         at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// A symbolic link (to a folder when toFolder: Windows tells the two apart).
bool makeLink(const std::string& target, const std::string& link, bool toFolder = false) {
    std::error_code error;
    if (toFolder)
        std::filesystem::create_directory_symlink(target, link, error);
    else
        std::filesystem::create_symlink(target, link, error);
    return !error;
}

// A root folder with htdocs/ below it, as the agent's working directory has.
struct Site {
    TempDir root;
    std::string htdocs = root.file("htdocs");
    Site() { std::filesystem::create_directory(htdocs); }
    void write(const std::string& relative, const std::string& text) const {
        writeFile(htdocs + "/" + relative, text);
    }
};

HttpServer::CommandRegistrar quickCommands() {
    return [](HttpServer& server) {
        server.registerCommand(textCommand("index.htm", "FIRST-PAGE"));
        server.registerCommand(textCommand("quick", "QUICK-ANSWER"));
    };
}

// ---------------------------------------------------------------------------
// Helpers shared with the tests

TEST(HttpRequestPath, NormalisesSegmentsAndRefusesToClimbOut) {
    struct Case {
        const char* path;  // without the leading "/"
        const char* name;  // expected name, or null when illegal
    };
    const Case cases[] = {
        {"a.htm", "a.htm"},
        {"sub/a.htm", "sub/a.htm"},
        {"sub/../a.htm", "a.htm"},
        {"sub/./a.htm", "sub/a.htm"},
        {"./a.htm", "a.htm"},
        {"sub/", "sub/"},
        {"sub/x/..", "sub"},
        {"sub/..", ""},
        {"a/b/../../c", "c"},
        {"..", nullptr},
        {"../x", nullptr},
        {"/x", nullptr},
        {"sub/../../x", nullptr},
        {"a/b/../../../x", nullptr},
        {"sub/../..", nullptr},
        {"./../x", nullptr},
        {"...", "..."},      // only exactly ".." climbs
        {"..\\x", "..\\x"},  // a backslash is an ordinary byte here
        {"..x/y", "..x/y"},
    };
    for (const Case& c : cases) {
        bool illegal = false;
        std::string name = HttpRequest::normalizePath(c.path, illegal);
        if (c.name == nullptr) {
            EXPECT_TRUE(illegal) << c.path << " gave " << name;
        } else {
            EXPECT_FALSE(illegal) << c.path;
            EXPECT_EQ(name, c.name) << c.path;
        }
    }
}

TEST(HttpRequestPath, PercentDecodingLeavesBrokenEscapesAlone) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"%2e%2E", ".."}, {"a%2fb", "a/b"}, {"%41%4a", "AJ"}, {"%252e", "%2e"}, {"%", "%"},
        {"%4", "%4"},     {"%zz", "%zz"},   {"a+b", "a+b"},   {"%%41", "%A"},   {"100%", "100%"},
    };
    for (const Case& c : cases) {
        std::string text = c.in;
        HttpRequest::percentDecode(text);
        EXPECT_EQ(text, c.out) << c.in;
    }
    std::string nul = "a%00b";
    HttpRequest::percentDecode(nul);
    EXPECT_EQ(nul, std::string("a\0b", 3));
}

TEST(HttpRequestPath, LineReaderEndsLinesAtLfCrAndCrLf) {
    std::string buffer = "one\r\ntwo\nthree\rfour\n\nfive";
    std::size_t position = 0;
    std::string line;
    std::vector<std::string> lines;
    while (HttpRequest::readLine(buffer, position, line)) lines.push_back(line);
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "three", "four", "", "five"}));
}

TEST(HttpRequestPath, CredentialsSplitAtTheFirstColon) {
    EXPECT_TRUE(HttpRequest::credentialsMatch("admin:se:cret", "admin", "se:cret"));
    EXPECT_TRUE(HttpRequest::credentialsMatch("admin:", "admin", ""));
    EXPECT_FALSE(HttpRequest::credentialsMatch("", "", ""));
    EXPECT_FALSE(HttpRequest::credentialsMatch("admin", "admin", ""));
    EXPECT_FALSE(HttpRequest::credentialsMatch("Admin:x", "admin", "x"));
    EXPECT_FALSE(HttpRequest::credentialsMatch("admin:X", "admin", "x"));
    EXPECT_FALSE(HttpRequest::credentialsMatch("admin:x ", "admin", "x"));
}

// ---------------------------------------------------------------------------
// Authentication

class HttpRequestAuthentication : public ::testing::Test {
protected:
    void SetUp() override {
        agent_.authenticated = true;
        agent_.setName("operator");
        agent_.setPassword("pa:ss w0rd");
        ASSERT_TRUE(server_.started());
    }
    HttpReply fetch(const std::string& path, const std::string& headers = "") {
        return httpExchange(server_.port(), get(path, "HTTP/1.1", headers));
    }
    static std::string authorization(const std::string& credentials) {
        return "Authorization: Basic " + base64Encode(credentials) + "\r\n";
    }

    AgentState agent_;
    Site site_;
    RunningServer server_{site_.root.path(), false, quickCommands()};
};

TEST_F(HttpRequestAuthentication, FirstPageWithoutCredentialsIsChallenged) {
    HttpReply reply = fetch("/");
    EXPECT_EQ(reply.statusLine(), "HTTP/1.1 401 Unauthorized");
    EXPECT_EQ(reply.header("WWW-Authenticate"), "Basic realm=\"Ostrand\"");
    EXPECT_EQ(reply.raw.find("FIRST-PAGE"), std::string::npos);
    EXPECT_TRUE(reply.closed);
}

TEST_F(HttpRequestAuthentication, RightCredentialsAreNotChallenged) {
    HttpReply reply = fetch("/", authorization("operator:pa:ss w0rd"));
    EXPECT_EQ(reply.status(), 200);
    EXPECT_NE(reply.body().find("FIRST-PAGE"), std::string::npos);
    // Leading blanks of the value are skipped.
    reply = fetch("/", "Authorization:   Basic " + base64Encode("operator:pa:ss w0rd") + "\r\n");
    EXPECT_EQ(reply.status(), 200);
}

TEST_F(HttpRequestAuthentication, WrongOrMalformedCredentialsAreChallenged) {
    for (const std::string& credentials :
         {std::string("operator:pa:ss w0rD"), std::string("Operator:pa:ss w0rd"),
          std::string("operator"), std::string("operator:"), std::string(""),
          std::string(":pa:ss w0rd"), std::string("operator:pa")}) {
        HttpReply reply = fetch("/", authorization(credentials));
        EXPECT_EQ(reply.status(), 401) << credentials;
    }
}

TEST_F(HttpRequestAuthentication, EveryWayToTheFirstPageIsGuarded) {
    for (const char* path :
         {"/index.htm", "/?x=1", "/./", "/sub/..", "/no-such-page", "/Index.htm"}) {
        HttpReply reply = fetch(path);
        EXPECT_EQ(reply.status(), 401) << path;
        EXPECT_EQ(reply.raw.find("FIRST-PAGE"), std::string::npos) << path;
    }
}

TEST_F(HttpRequestAuthentication, EveryPageCommandAndFileIsGuarded) {
    site_.write("log.txt", "SECRET LOG");
    ASSERT_NE(kEmbeddedDocuments[0].name, nullptr);
    for (const std::string& path : {std::string("/quick"), std::string("/quick?delay=1"),
                                    std::string("/log.txt"),
                                    std::string("/") + kEmbeddedDocuments[0].name}) {
        HttpReply reply = fetch(path);
        EXPECT_EQ(reply.status(), 401) << path;
        EXPECT_EQ(reply.raw.find("QUICK-ANSWER"), std::string::npos) << path;
        EXPECT_EQ(reply.raw.find("SECRET"), std::string::npos) << path;
        EXPECT_EQ(fetch(path, authorization("operator:pa:ss w0rd")).status(), 200) << path;
    }
}

TEST_F(HttpRequestAuthentication, WhatOtherAgentsAskStaysOpen) {
    RunningServer peers(site_.root.path(), false, [](HttpServer& server) {
        server.registerCommand(textCommand("cancelCommand", "BROWSER-CANCEL"));
        for (const char* name : {"status", "cancel", "startStreamServer"})
            server.registerCommand(textCommand(name, std::string("PEER-") + name));
    });
    ASSERT_TRUE(peers.started());
    auto fetch = [&](const std::string& path) {
        return httpExchange(peers.port(), get(path, "HTTP/1.1"));
    };
    for (const char* name : {"status", "cancel", "startStreamServer"}) {
        HttpReply reply = fetch(std::string("/") + name + "?id=3");
        EXPECT_EQ(reply.status(), 200) << name;
        EXPECT_NE(reply.body().find(std::string("PEER-") + name), std::string::npos) << name;
    }
    // Only the names themselves: a file that merely begins so is guarded.
    EXPECT_EQ(fetch("/status.htm").status(), 401);
    EXPECT_EQ(fetch("/cancelCommand?id=3").status(), 401);
}

TEST_F(HttpRequestAuthentication, SwitchedOffNothingIsChallenged) {
    agent_.authenticated = false;
    HttpReply reply = fetch("/");
    EXPECT_EQ(reply.status(), 200);
    EXPECT_NE(reply.body().find("FIRST-PAGE"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Request line errors and error pages

class HttpRequestErrors : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server_.started()); }
    HttpReply send(const std::string& text) { return httpExchange(server_.port(), text); }

    Site site_;
    RunningServer server_{site_.root.path(), false, quickCommands()};
};

TEST_F(HttpRequestErrors, RequestLineFaultsGetTheirErrorPages) {
    struct Case {
        std::string request;
        int status;
        const char* title;
        const char* text;
    };
    const Case cases[] = {
        {get("/../x"), 400, "Bad Request", "Illegal filename."},
        {get("//x"), 400, "Bad Request", "Illegal filename."},
        {get("/%2e%2e/x"), 400, "Bad Request", "Illegal filename."},
        {get("/%2fx"), 400, "Bad Request", "Illegal filename."},
        {get("/sub/../../x"), 400, "Bad Request", "Illegal filename."},
        {get("/a%00b"), 400, "Bad Request", "Illegal filename."},
        {httpRequestText("DELETE", "/x"), 501, "Not Implemented",
         "That method is not implemented."},
        {httpRequestText("PUT", "/x"), 501, "Not Implemented", "That method is not implemented."},
        {"GET\r\n\r\n", 400, "Bad Request", "Can't parse request for file name"},
        {"HEAD\r\n\r\n", 400, "Bad Request", "Can't parse request for file name"},
        {get("x.htm"), 400, "Bad Request", "Bad filename."},
        {"GET  /quick HTTP/1.0\r\n\r\n", 400, "Bad Request", "Bad filename."},
    };
    for (const Case& c : cases) {
        HttpReply reply = send(c.request);
        std::string code = std::to_string(c.status);
        EXPECT_EQ(reply.statusLine(), "HTTP/1.0 " + code + " " + c.title) << c.request;
        EXPECT_EQ(reply.header("Content-Type"), "text/html") << c.request;
        EXPECT_FALSE(reply.hasHeader("Content-Length")) << c.request;
        EXPECT_EQ(reply.header("Connection"), "close") << c.request;
        std::string body = reply.body();
        EXPECT_EQ(body.rfind("<HTML><HEAD><TITLE>" + code + " " + c.title + "</TITLE></HEAD>\n", 0),
                  0u)
            << c.request;
        EXPECT_NE(body.find(std::string("<p>") + c.text + "</p>"), std::string::npos) << c.request;
        ASSERT_GE(body.size(), 17u) << c.request;
        EXPECT_EQ(body.substr(body.size() - 17), "</BODY></HTML>\n\n\n") << c.request;
        EXPECT_TRUE(reply.closed) << c.request;
    }
}

TEST_F(HttpRequestErrors, MethodsMatchByTheirFirstLettersInAnyCase) {
    EXPECT_EQ(send(get("/quick")).status(), 200);
    EXPECT_EQ(send(httpRequestText("get", "/quick")).status(), 200);
    EXPECT_EQ(send(httpRequestText("POST", "/quick")).status(), 200);
    HttpReply head = send(httpRequestText("HEAD", "/quick"));
    EXPECT_EQ(head.status(), 200);
    EXPECT_EQ(head.body(), "");
    EXPECT_EQ(head.header("Content-Length"), "14");  // "QUICK-ANSWER\r\n"
}

TEST_F(HttpRequestErrors, MsieGetsSixPaddingLinesOthersNone) {
    const std::string padding =
        "Padding so that MSIE deigns to show this error instead of its own canned one.\n";
    std::string block = "<!--\n";
    for (int i = 0; i < 6; ++i) block += padding;
    block += "-->\n";
    site_.write("locked.conf", "LOCKED");  // the administrator's: never served
    const std::string msie = "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)\r\n";

    // Every kind of error page: a bad path, an unknown method, a protected file.
    struct Case {
        std::string request;
        int status;
    };
    const Case cases[] = {
        {get("/../x", "HTTP/1.1", msie), 400},
        {httpRequestText("DELETE", "/x", "HTTP/1.1", msie), 501},
        {get("/locked.conf", "HTTP/1.1", msie), 403},
    };
    for (const Case& c : cases) {
        HttpReply reply = send(c.request);
        EXPECT_EQ(reply.status(), c.status) << c.request;
        EXPECT_EQ(countOf(reply.body(), padding), 6) << c.request;
        EXPECT_NE(reply.body().find("</p>" + block + "<HR>\n"), std::string::npos) << c.request;
    }

    for (const char* agent :
         {"Mozilla/5.0 (X11; Linux x86_64) Firefox/115.0", "msie 6.0", "curl/7.88"}) {
        HttpReply other =
            send(get("/../x", "HTTP/1.1", std::string("User-Agent: ") + agent + "\r\n"));
        EXPECT_EQ(other.status(), 400) << agent;
        EXPECT_EQ(countOf(other.body(), padding), 0) << agent;
        EXPECT_EQ(other.body().find("<!--"), std::string::npos) << agent;
    }
    HttpReply none = send(get("/../x"));
    EXPECT_EQ(countOf(none.body(), padding), 0);
}

TEST_F(HttpRequestErrors, SilentConnectionIsClosedWithoutAnswer) {
    testing::HttpClientConnection connection(server_.port());
    ASSERT_TRUE(connection.connected());
    connection.shutdownWrite();
    HttpReply reply = connection.readUntilClose(5000);
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.raw, "");
    EXPECT_EQ(send(get("/quick")).status(), 200);
}

// ---------------------------------------------------------------------------
// Hostile paths: nothing outside the document folder is ever served.

constexpr const char* kSecret = "TRELLON-SECRET-5c1e";

// root/secret.txt and root/index.html beside htdocs/, root/htdocs_private/ a
// sibling whose name starts like the document folder's, and links inside
// htdocs/ that point out of it.
class HttpRequestHostilePaths : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        writeFile(site_.root.file("secret.txt"), kSecret);
        writeFile(site_.root.file("index.html"), kSecret);
        std::filesystem::create_directory(site_.root.file("htdocs_private"));
        writeFile(site_.root.file("htdocs_private/secret.txt"), kSecret);
        writeFile(site_.root.file("htdocs_private/index.html"), kSecret);
        std::filesystem::create_directory((site_.htdocs + "/sub"));
        site_.write("public.txt", "PUBLIC-TEXT");
        site_.write("sub/page.htm", "SUB-PAGE");
        links_ = makeLink("../secret.txt", site_.htdocs + "/leak.txt") &&
                 makeLink("..", site_.htdocs + "/escape", true) &&
                 makeLink("../htdocs_private", site_.htdocs + "/private", true) &&
                 makeLink(site_.root.file("secret.txt"), site_.htdocs + "/sub/absolute.txt");
#ifndef _WIN32
        ASSERT_TRUE(links_);
#endif
        server_ = std::make_unique<RunningServer>(site_.root.path(), GetParam());
        ASSERT_TRUE(server_->started());
    }

    HttpReply fetch(const std::string& path) { return httpExchange(server_->port(), get(path)); }

    Site site_;
    std::unique_ptr<RunningServer> server_;
    bool links_ = false;  // the links out of htdocs could be made
};

std::vector<std::string> hostilePaths() {
    std::set<std::string> paths;
    const std::vector<std::string> climbs = {
        "..",  "%2e%2e", "%2E%2E", ".%2e",         "%2e.", "%252e%252e", "%25%32%65%25%32%65",
        "...", "..%00",  "..%5c",  "%c0%ae%c0%ae", ". .",  "..;",
    };
    const std::vector<std::string> separators = {
        "/", "%2f", "%2F", "\\", "%5c", "%5C", "%252f", "//", "/./", "%2f.%2f", "/%2e/", "\\.\\",
    };
    const std::vector<std::string> targets = {
        "secret.txt",
        "secret.txt%00",
        "secret.txt%00.htm",
        "htdocs_private/secret.txt",
        "htdocs_private%2fsecret.txt",
        "index.html",
        "htdocs_private/",
        "",
    };
    const std::vector<std::string> starts = {
        "/",     "/sub/",    "/./",       "/sub/./",    "/sub%2f",
        "/%2e/", "/escape/", "/private/", "/sub/..%2f", "/sub\\",
    };
    // Every climb with every separator, one to three levels up, from every start.
    for (const std::string& start : starts) {
        for (const std::string& climb : climbs) {
            for (const std::string& separator : separators) {
                std::string up;
                for (int depth = 1; depth <= 3; ++depth) {
                    up += climb + separator;
                    paths.insert(start + up + "secret.txt");
                }
            }
        }
    }
    for (const std::string& start : starts) {
        for (const std::string& target : targets) {
            paths.insert(start + target);
            paths.insert(start + "../" + target);
            paths.insert(start + "%2e%2e%2f" + target);
            paths.insert(start + "sub/../../" + target);
        }
    }
    // Links that lead out, and ways to reach them.
    for (const char* link : {"/leak.txt", "/escape/secret.txt", "/escape/htdocs_private/secret.txt",
                             "/private/", "/private/secret.txt", "/private/index.html", "/escape/",
                             "/escape/index.html", "/sub/absolute.txt", "/sub/../leak.txt",
                             "/./leak.txt", "/%6ceak.txt", "/escape%2fsecret.txt", "/private%2f",
                             "/escape/escape/escape/secret.txt", "/sub/../escape/./secret.txt"}) {
        paths.insert(link);
    }
    // Very long names, alone and in front of a climb.
    for (std::size_t length : {255u, 256u, 1024u, 4096u, 5000u, 40000u}) {
        std::string name(length, 'a');
        paths.insert("/" + name);
        paths.insert("/" + name + "/../../secret.txt");
        paths.insert("/" + name + "%2f..%2f..%2fsecret.txt");
        paths.insert("/sub/" + name + "/../../../secret.txt");
    }
    std::string deep;
    while (deep.size() < 60000) deep += "../";
    paths.insert("/" + deep + "secret.txt");
    std::string deepEncoded;
    while (deepEncoded.size() < 60000) deepEncoded += "%2e%2e%2f";
    paths.insert("/" + deepEncoded + "secret.txt");

    // Random mixtures of all of the above (fixed seed, so a failure repeats).
    const std::vector<std::string> pieces = {
        "..",
        ".",
        "/",
        "%2f",
        "%2e",
        "%2e%2e",
        "\\",
        "%5c",
        "%00",
        "%252e",
        "%252f",
        "sub",
        "escape",
        "private",
        "secret.txt",
        "leak.txt",
        "public.txt",
        "htdocs",
        "htdocs_private",
        "index.html",
        std::string(300, 'b'),
        "%",
        "%%",
        "?",
        "?x=",
        ";",
        "~",
    };
    std::mt19937 random(20080301);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<int> length(2, 12);
    while (paths.size() < 6000) {
        std::string path = "/";
        for (int i = length(random); i > 0; --i) path += pieces[pick(random)];
        paths.insert(path);
    }
    return {paths.begin(), paths.end()};
}

TEST_P(HttpRequestHostilePaths, FilesInsideAreServed) {
    HttpReply reply = fetch("/public.txt");
    EXPECT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.body(), "PUBLIC-TEXT");
    EXPECT_EQ(fetch("/sub/page.htm").body(), "SUB-PAGE");
    EXPECT_EQ(fetch("/sub/../public.txt").body(), "PUBLIC-TEXT");
    EXPECT_EQ(fetch("/sub/%2e%2e/public.txt").body(), "PUBLIC-TEXT");
    EXPECT_EQ(fetch("/sub%2fpage.htm").body(), "SUB-PAGE");
}

TEST_P(HttpRequestHostilePaths, ConfigurationAndPluginProgramsAreNotServed) {
    std::filesystem::create_directory((site_.htdocs + "/plugins"));
    std::filesystem::create_directory((site_.htdocs + "/plugins/p"));
    site_.write("substitute.conf", "$copyright=SECRET\n");
    site_.write("plugins/p/p.conf", "password=SECRET\n");
    site_.write("plugins/p/run.sh", "echo SECRET\n");
    site_.write("plugins/p/notes.txt", "SECRET\n");
    site_.write("plugins/p/page.htm", "PLUGIN-PAGE");
    site_.write("plugins/p/logo.png", "PNG");
    for (const char* path : {"/substitute.conf", "/SUBSTITUTE.CONF", "/plugins/p/p.conf",
                             "/plugins/p/P.Conf", "/plugins/p/run.sh", "/plugins/p/notes.txt",
                             "/plugins/p/../p/p.conf", "/sub/../plugins/p/run.sh"}) {
        HttpReply reply = fetch(path);
        EXPECT_EQ(reply.raw.find("SECRET"), std::string::npos) << path;
    }
    EXPECT_EQ(fetch("/plugins/p/run.sh").status(), 403);
    EXPECT_EQ(fetch("/plugins/p/page.htm").body(), "PLUGIN-PAGE");
    EXPECT_EQ(fetch("/plugins/p/logo.png").body(), "PNG");
}

TEST_P(HttpRequestHostilePaths, LinksOutOfTheFolderAreProtected) {
    if (!links_) GTEST_SKIP() << "symbolic links cannot be made here (Windows needs the right to)";
    for (const char* path : {"/leak.txt", "/escape/secret.txt", "/private/secret.txt", "/private/",
                             "/escape/", "/sub/absolute.txt"}) {
        HttpReply reply = fetch(path);
        EXPECT_EQ(reply.status(), 403) << path;
        EXPECT_NE(reply.body().find("File is protected."), std::string::npos) << path;
    }
}

TEST_P(HttpRequestHostilePaths, NoPathEverReturnsTheSecret) {
    std::vector<std::string> paths = hostilePaths();
    ASSERT_GE(paths.size(), 5000u);
    int answered = 0;
    for (const std::string& path : paths) {
        HttpReply reply = fetch(path);
        ASSERT_EQ(reply.raw.find(kSecret), std::string::npos) << "served the secret for " << path;
        ASSERT_TRUE(reply.closed) << path.substr(0, 200);
        if (reply.status() > 0) ++answered;
    }
    // Most of them get an error page; a path to nothing gets no first page
    // here because no "index.htm" command is registered.
    EXPECT_GT(answered, 1000);
    // And the server still serves after all that.
    EXPECT_EQ(fetch("/public.txt").body(), "PUBLIC-TEXT");
}

INSTANTIATE_TEST_SUITE_P(DocumentFolder, HttpRequestHostilePaths, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("UseHtdocs")
                                               : std::string("EmbeddedFirst");
                         });

// ---------------------------------------------------------------------------
// Not-modified rule

class HttpRequestNotModified : public ::testing::Test {
protected:
    static constexpr std::int64_t kFileTime = 1000000000;  // Sun, 09 Sep 2001 01:46:40 GMT

    void SetUp() override {
        site_.write("dated.txt", "DATED");
        std::error_code error;
        std::filesystem::last_write_time(
            site_.htdocs + "/dated.txt",
            std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(kFileTime))),
            error);
        ASSERT_FALSE(error) << error.message();
        ASSERT_TRUE(server_.started());
        ASSERT_NE(kEmbeddedDocuments[0].name, nullptr);
        embedded_ = std::string("/") + kEmbeddedDocuments[0].name;
    }
    HttpReply fetch(const std::string& path, const std::string& protocol, std::int64_t since) {
        return httpExchange(
            server_.port(),
            get(path, protocol, "If-Modified-Since: " + formatHttpTime(since) + "\r\n"));
    }

    Site site_;
    RunningServer server_{site_.root.path(), false};
    std::string embedded_;
};

TEST_F(HttpRequestNotModified, EmbeddedDocumentDatesFromTheServerStart) {
    const std::int64_t start = server_.server().startTime();
    HttpReply reply = fetch(embedded_, "HTTP/1.1", start);
    EXPECT_EQ(reply.statusLine(), "HTTP/1.1 304 Not Modified");
    EXPECT_TRUE(reply.hasHeader("Date"));
    EXPECT_EQ(reply.body(), "");
    EXPECT_TRUE(reply.closed);

    reply = fetch(embedded_, "HTTP/1.0", start);
    EXPECT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.header("Last-Modified"), formatHttpTime(start));
    EXPECT_EQ(reply.header("Cache-Control"), "max-age=31536000, must-revalidate");

    EXPECT_EQ(fetch(embedded_, "HTTP/1.1", start - 1).status(), 200);
    EXPECT_EQ(fetch(embedded_, "HTTP/1.1", start + 1).status(), 200);
    EXPECT_EQ(
        httpExchange(server_.port(), get(embedded_, "HTTP/1.1", "If-Modified-Since: yesterday\r\n"))
            .status(),
        200);
}

TEST_F(HttpRequestNotModified, FileDatesFromItsModificationTime) {
    // Disk files are reached in the embedded-first mode too when nothing embedded has their name.
    HttpReply reply = fetch("/dated.txt", "HTTP/1.1", kFileTime);
    EXPECT_EQ(reply.statusLine(), "HTTP/1.1 304 Not Modified");
    EXPECT_EQ(reply.body(), "");

    reply = fetch("/dated.txt", "HTTP/1.0", kFileTime);
    EXPECT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.body(), "DATED");
    EXPECT_EQ(reply.header("Last-Modified"), "Sun, 09 Sep 2001 01:46:40 GMT");

    EXPECT_EQ(fetch("/dated.txt", "HTTP/1.1", kFileTime + 1).status(), 200);
    EXPECT_EQ(fetch("/dated.txt", "http/1.1", kFileTime).status(), 200);
    // Another accepted date form naming the same second.
    reply = httpExchange(
        server_.port(),
        get("/dated.txt", "HTTP/1.1", "If-Modified-Since: Sunday, 09-Sep-01 01:46:40 GMT\r\n"));
    EXPECT_EQ(reply.status(), 304);
}

// ---------------------------------------------------------------------------
// Commands and the "delay" variable

TEST(HttpRequestCommand, DelayHoldsTheAnswerBack) {
    Site site;
    RunningServer server(site.root.path(), false, quickCommands());
    ASSERT_TRUE(server.started());

    auto start = Clock::now();
    HttpReply reply = httpExchange(server.port(), get("/quick?delay=1500"));
    long long elapsed = millisecondsSince(start);
    EXPECT_EQ(reply.status(), 200);
    EXPECT_GE(elapsed, 1500);

    // Absent, zero, negative or non-numeric delays do not wait.
    for (const char* query :
         {"", "?delay=", "?delay=0", "?delay=-5000", "?delay=abc", "?other=1500"}) {
        start = Clock::now();
        reply = httpExchange(server.port(), get(std::string("/quick") + query));
        EXPECT_EQ(reply.status(), 200) << query;
        EXPECT_LT(millisecondsSince(start), 1000) << query;
    }
}

TEST(HttpRequestCommand, PathAndQueryAreEachDecodedOnce) {
    Site site;
    RunningServer server(site.root.path(), false, [](HttpServer& s) {
        s.registerCommand(std::make_unique<testing::LambdaCommand>(
            "echo", [](HttpRequest& request, FormVariables& form, ResponseBuffer& out) {
                for (const auto& [name, value] : form.all()) out.append(name + "=[" + value + "]");
                out.append(" path=[" + request.record().rawPath + "]");
                return 0;
            }));
        s.registerCommand(textCommand("a b", "SPACED"));
    });
    ASSERT_TRUE(server.started());

    // "%26" is an "&" inside a value, "%2B" a plus, "%2520" the text "%20",
    // "%20" a blank that ends nothing, "%3F" a question mark in a value.
    HttpReply reply =
        httpExchange(server.port(), get("/echo?a=x%26y&b=%2B&c=%2520&d=p%20q&e=w%3Fz&f=1"));
    EXPECT_EQ(reply.status(), 200);
    EXPECT_EQ(reply.body(), "a=[x&y]b=[+]c=[%20]d=[p q]e=[w?z]f=[1] path=[/echo]\r\n");
    // The path is decoded too, once.
    EXPECT_NE(httpExchange(server.port(), get("/a%20b")).body().find("SPACED"), std::string::npos);
}

TEST(HttpRequestCommand, CommandSetsStatusHeadersAndType) {
    Site site;
    RunningServer server(site.root.path(), false, [](HttpServer& s) {
        s.registerCommand(std::make_unique<testing::LambdaCommand>(
            "go", [](HttpRequest& request, FormVariables& form, ResponseBuffer& out) {
                request.setRedirect("http://127.0.0.1/results?id=" + form.get("id"));
                out.append("moved");
                return 0;
            }));
        s.registerCommand(std::make_unique<testing::LambdaCommand>(
            "xml", [](HttpRequest& request, FormVariables&, ResponseBuffer& out) {
                request.setXmlOutput(true);
                out.append("<x/>");
                return 0;
            }));
        s.registerCommand(std::make_unique<testing::LambdaCommand>(
            "bare",
            [](HttpRequest&, FormVariables&, ResponseBuffer& out) {
                out.append("RAW REPLY");
                return 0;
            },
            false));
    });
    ASSERT_TRUE(server.started());

    HttpReply reply = httpExchange(server.port(), get("/go?id=7"));
    EXPECT_EQ(reply.statusLine(), "HTTP/1.0 302 Ok");
    EXPECT_EQ(reply.header("Location"), "http://127.0.0.1/results?id=7");
    EXPECT_EQ(reply.body(), "moved\r\n");
    EXPECT_EQ(reply.header("Content-Length"), "7");
    EXPECT_EQ(reply.header("Content-Type"), "text/html; charset=iso-8859-1");
    EXPECT_FALSE(reply.hasHeader("Cache-Control"));

    reply = httpExchange(server.port(), get("/xml"));
    EXPECT_EQ(reply.statusLine(), "HTTP/1.0 200 Ok");
    EXPECT_EQ(reply.header("Content-Type"), "text/xml; charset=iso-8859-1");

    reply = httpExchange(server.port(), get("/bare"));
    EXPECT_EQ(reply.raw, "RAW REPLY");
    EXPECT_TRUE(reply.closed);

    // Names are case-sensitive: "/Bare" is no command (and, with no first
    // page registered, nothing at all).
    reply = httpExchange(server.port(), get("/Bare"));
    EXPECT_EQ(reply.raw.find("RAW REPLY"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Reading the request head

class HttpRequestHead : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server_.started()); }

    Site site_;
    RunningServer server_{site_.root.path(), false, quickCommands()};
};

TEST_F(HttpRequestHead, TerminatorSplitAcrossSegmentsIsAnsweredAtOnce) {
    const std::string head = "GET /quick HTTP/1.0\r\nUser-Agent: split\r\n\r\n";
    const std::string lfHead = "GET /quick HTTP/1.0\nUser-Agent: split\n\n";
    struct Split {
        std::string text;
        std::size_t at;  // bytes in the first segment
    };
    const Split splits[] = {
        {head, head.size() - 1},
        {head, head.size() - 2},
        {head, head.size() - 3},
        {lfHead, lfHead.size() - 1},
    };
    for (const Split& split : splits) {
        testing::HttpClientConnection connection(server_.port());
        ASSERT_TRUE(connection.connected());
        connection.setNoDelay();
        ASSERT_TRUE(connection.send(split.text.substr(0, split.at)));
        // The first part must have been received on its own; no answer may come yet.
        EXPECT_FALSE(connection.waitReadable(150)) << split.at;
        auto start = Clock::now();
        ASSERT_TRUE(connection.send(split.text.substr(split.at)));
        HttpReply reply = connection.readUntilClose(10000);
        EXPECT_EQ(reply.status(), 200) << split.at;
        EXPECT_NE(reply.body().find("QUICK-ANSWER"), std::string::npos) << split.at;
        EXPECT_LT(millisecondsSince(start), 5000) << split.at;
    }
}

TEST_F(HttpRequestHead, HeadSentByteByByteIsAnswered) {
    const std::string head = "GET /quick HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    testing::HttpClientConnection connection(server_.port());
    ASSERT_TRUE(connection.connected());
    connection.setNoDelay();
    auto start = Clock::now();
    for (char c : head) ASSERT_TRUE(connection.send(std::string(1, c)));
    HttpReply reply = connection.readUntilClose(10000);
    EXPECT_EQ(reply.status(), 200);
    EXPECT_LT(millisecondsSince(start), 5000);
}

// A request head of exactly total bytes (terminator included).
std::string headOfSize(std::size_t total) {
    std::string start = "GET /quick HTTP/1.0\r\nX-Filler: ";
    std::string end = "\r\n\r\n";
    return start + std::string(total - start.size() - end.size(), 'f') + end;
}

TEST_F(HttpRequestHead, HeadUpToTheCapIsServed) {
    for (std::size_t size : {std::size_t{60000}, HttpRequest::kMaxHeadBytes}) {
        std::string head = headOfSize(size);
        ASSERT_EQ(head.size(), size);
        HttpReply reply = httpExchange(server_.port(), head);
        EXPECT_EQ(reply.status(), 200) << size;
    }
}

TEST_F(HttpRequestHead, OversizeHeadGetsBadRequestAndIsClosed) {
    for (std::size_t size : {HttpRequest::kMaxHeadBytes + 1, HttpRequest::kMaxHeadBytes + 500,
                             std::size_t{70 * 1024}, std::size_t{1024 * 1024}}) {
        testing::HttpClientConnection connection(server_.port());
        ASSERT_TRUE(connection.connected());
        ASSERT_TRUE(connection.send(headOfSize(size)) || size > 100000) << size;
        HttpReply reply = connection.readUntilClose(10000);
        EXPECT_EQ(reply.statusLine(), "HTTP/1.0 400 Bad Request") << size;
        EXPECT_NE(reply.body().find("Bad Request"), std::string::npos) << size;
        EXPECT_TRUE(reply.closed) << size;
        // Closed in order: a reset could have destroyed the answer before it was read.
        EXPECT_FALSE(reply.reset) << size;
        EXPECT_EQ(httpExchange(server_.port(), get("/quick")).status(), 200) << "after " << size;
    }
}

TEST_F(HttpRequestHead, EndlessHeadWithoutTerminatorIsCutOff) {
    // The client keeps the connection open and never ends its head.
    testing::HttpClientConnection connection(server_.port());
    ASSERT_TRUE(connection.connected());
    ASSERT_TRUE(
        connection.send("GET /quick HTTP/1.0\r\nX-Filler: " + std::string(100 * 1024, 'f')));
    HttpReply reply = connection.readUntilClose(10000);
    EXPECT_EQ(reply.status(), 400);
    EXPECT_TRUE(reply.closed);
    EXPECT_FALSE(reply.reset);
    // The server still takes (and drops) what the client sends for a while
    // instead of resetting the connection: on a lossy path a reset can
    // overtake the answer and destroy it in the client.
    EXPECT_TRUE(connection.send(std::string(4096, 'f')));
    EXPECT_TRUE(connection.send(std::string(4096, 'f')));
    EXPECT_EQ(httpExchange(server_.port(), get("/quick")).status(), 200);
}

TEST_F(HttpRequestHead, UnreadBodyDoesNotResetTheConnection) {
    // Form data travels in the query; a body is never read, yet the answer
    // must reach a client that sends one.
    const std::string body(16 * 1024 * 1024, 'b');  // more than the socket buffers hold
    testing::HttpClientConnection connection(server_.port());
    ASSERT_TRUE(connection.connected());
    EXPECT_TRUE(connection.send("POST /quick HTTP/1.0\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body));
    HttpReply reply = connection.readUntilClose(10000);
    EXPECT_EQ(reply.status(), 200);
    EXPECT_NE(reply.body().find("QUICK-ANSWER"), std::string::npos);
    EXPECT_FALSE(reply.reset);
}

// ---------------------------------------------------------------------------
// Content types

TEST(HttpRequestContent, EveryEmbeddedDocumentIsServedWithItsType) {
    Site site;
    RunningServer server(site.root.path(), false);
    ASSERT_TRUE(server.started());
    int count = 0;
    for (const EmbeddedDocument* d = kEmbeddedDocuments; d->name != nullptr; ++d, ++count) {
        std::string path = std::string("/") + d->name;
        HttpReply reply = httpExchange(server.port(), get(path));
        ASSERT_EQ(reply.statusLine(), "HTTP/1.0 200 Ok") << d->name;
        EXPECT_EQ(reply.header("Content-Type"), contentTypeFor(d->name)) << d->name;
        // No substitute.conf here, so the bytes go out as they were embedded.
        EXPECT_EQ(reply.body(), std::string(reinterpret_cast<const char*>(d->data), d->length))
            << d->name;
        EXPECT_EQ(reply.header("Content-Length"), std::to_string(d->length)) << d->name;

        HttpReply head = httpExchange(server.port(), httpRequestText("HEAD", path));
        EXPECT_EQ(head.status(), 200) << d->name;
        EXPECT_EQ(head.body(), "") << d->name;
        EXPECT_EQ(head.header("Content-Length"), std::to_string(d->length)) << d->name;
    }
    EXPECT_GT(count, 0);
}

TEST(HttpRequestContent, EmbeddedTextGetsTheSiteSubstitutions) {
    const EmbeddedDocument* page = nullptr;
    for (const EmbeddedDocument* d = kEmbeddedDocuments; d->name != nullptr && page == nullptr;
         ++d) {
        std::string text(reinterpret_cast<const char*>(d->data), d->length);
        if (isTextContentType(contentTypeFor(d->name)) &&
            text.find("$copyright") != std::string::npos)
            page = d;
    }
    if (page == nullptr) GTEST_SKIP() << "no embedded page carries $copyright";
    Site site;
    site.write("substitute.conf", "$copyright=COPYRIGHT-LINE\n$copyright.note=NEVER\n");
    RunningServer server(site.root.path(), false);
    ASSERT_TRUE(server.started());
    HttpReply reply = httpExchange(server.port(), get(std::string("/") + page->name));
    EXPECT_EQ(reply.status(), 200);
    EXPECT_NE(reply.body().find("COPYRIGHT-LINE"), std::string::npos);
    EXPECT_EQ(reply.body().find("$copyright"), std::string::npos);
    EXPECT_EQ(reply.body().find("NEVER"), std::string::npos);
    EXPECT_EQ(reply.header("Content-Length"), std::to_string(reply.body().size()));
}

TEST(HttpRequestContent, FilesOnDiskAreServedWithTheTableTypes) {
    Site site;
    std::string binary;
    for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
    const std::vector<std::string> names = {
        "page.html", "page.htm",    "notes.txt",   "style.css",  "data.xml",
        "pic.gif",   "pic.jpg",     "pic.jpeg",    "pic.png",    "script.js",
        "doc.pdf",   "pack.zip",    "tone.wav",    "prog.exe",   "UPPER.PNG",
        "mixed.HtM", "unknown.xyz", "noextension", "movie.mpeg", "page.wml",
    };
    for (const std::string& name : names) site.write(name, binary + name);
    RunningServer server(site.root.path(), true);
    ASSERT_TRUE(server.started());
    for (const std::string& name : names) {
        HttpReply reply = httpExchange(server.port(), get("/" + name));
        ASSERT_EQ(reply.status(), 200) << name;
        EXPECT_EQ(reply.header("Content-Type"), contentTypeFor(name)) << name;
        EXPECT_EQ(reply.body(), binary + name) << name;
        EXPECT_EQ(reply.header("Content-Length"), std::to_string(binary.size() + name.size()))
            << name;
    }
    // A few rows of the table, spelled out.
    EXPECT_EQ(httpExchange(server.port(), get("/pic.png")).header("Content-Type"), "image/png");
    EXPECT_EQ(httpExchange(server.port(), get("/UPPER.PNG")).header("Content-Type"), "image/png");
    EXPECT_EQ(httpExchange(server.port(), get("/style.css")).header("Content-Type"), "text/css");
    EXPECT_EQ(httpExchange(server.port(), get("/page.htm")).header("Content-Type"),
              "text/html; charset=ISO-8859-1");
    EXPECT_EQ(httpExchange(server.port(), get("/pack.zip")).header("Content-Type"),
              "application/x-zip-compressed");
    EXPECT_EQ(httpExchange(server.port(), get("/unknown.xyz")).header("Content-Type"),
              "text/plain; charset=ISO-8859-1");
}

TEST(HttpRequestContent, DocumentFolderSettingChoosesBetweenDiskAndEmbeddedCopy) {
    ASSERT_NE(kEmbeddedDocuments[0].name, nullptr);
    const EmbeddedDocument& document = kEmbeddedDocuments[0];
    const std::string name = document.name;
    const std::string embedded(reinterpret_cast<const char*>(document.data), document.length);
    Site site;
    site.write(name, "DISK-COPY");

    RunningServer server(site.root.path(), true);
    ASSERT_TRUE(server.started());
    EXPECT_EQ(httpExchange(server.port(), get("/" + name)).body(), "DISK-COPY");
    server.server().setUseHtdocs(false);
    EXPECT_EQ(httpExchange(server.port(), get("/" + name)).body(), embedded);

    // A connection that came before the switch is served as the setting is now.
    testing::HttpClientConnection early(server.port());
    ASSERT_TRUE(early.connected());
    ASSERT_FALSE(early.waitReadable(100));
    server.server().setUseHtdocs(true);
    ASSERT_TRUE(early.send(get("/" + name)));
    EXPECT_EQ(early.readUntilClose(5000).body(), "DISK-COPY");
}

#ifndef _WIN32
TEST(HttpRequestContent, SpecialFilesAreRefusedWithoutHanging) {
    Site site;
    const std::string pipe = site.htdocs + "/pipe.txt";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0644), 0);
    RunningServer server(site.root.path(), true);
    // Should a worker block opening the pipe, a writer lets it go before the server stops.
    struct PipeUnblocker {
        std::string path;
        ~PipeUnblocker() {
            int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
        }
    } unblocker{pipe};
    ASSERT_TRUE(server.started());
    HttpReply reply = httpExchange(server.port(), get("/pipe.txt"), 5000);
    EXPECT_EQ(reply.status(), 403);
    EXPECT_NE(reply.body().find("File is protected."), std::string::npos);
}
#endif  // named pipes in the file system are POSIX

TEST(HttpRequestContent, FolderIndexPagesAreTriedInOrder) {
    Site site;
    std::filesystem::create_directory((site.htdocs + "/a"));
    std::filesystem::create_directory((site.htdocs + "/b"));
    std::filesystem::create_directory((site.htdocs + "/c"));
    site.write("a/index.html", "A-INDEX-HTML");
    site.write("a/index.htm", "A-INDEX-HTM");
    site.write("b/default.html", "B-DEFAULT-HTML");
    RunningServer server(site.root.path(), true, quickCommands());
    ASSERT_TRUE(server.started());
    EXPECT_EQ(httpExchange(server.port(), get("/a/")).body(), "A-INDEX-HTML");
    EXPECT_EQ(httpExchange(server.port(), get("/b/")).body(), "B-DEFAULT-HTML");
    // A folder without a closing "/", and a name that is nothing, show the first page.
    EXPECT_EQ(httpExchange(server.port(), get("/a")).body(), "FIRST-PAGE\r\n");
    EXPECT_EQ(httpExchange(server.port(), get("/nothing.htm")).body(), "FIRST-PAGE\r\n");
    // A folder without an index page: the connection closes without an answer.
    HttpReply reply = httpExchange(server.port(), get("/c/"));
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.raw, "");
}

}  // namespace
}  // namespace trellon
