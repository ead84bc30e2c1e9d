// The agent as it is installed: `cmake --install` into a folder of one's own,
// the Debian package installed and purged in a folder with dpkg (its
// maintainer scripts honour DPKG_ROOT), and the manual pages.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/agent_process.h"
#include "support/test_support.h"

namespace trellon::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// The build folder this test belongs to.
std::string buildFolder() { return fs::path(TRELLON_TEST_BINARY_DIR).parent_path().string(); }

std::string shellQuoted(const std::string& text) { return "'" + text + "'"; }

// The first page's status line, fetched with curl from inside the namespace
// (or from here when ns is null), tried for a while.
std::string firstPageStatus(const ScopedNetns* ns, int port) {
    const std::string command = "curl -s -m 2 -o /dev/null -w '%{http_code}' http://127.0.0.1:" +
                                std::to_string(port) + "/";
    std::string status;
    for (int attempt = 0; attempt < 50; ++attempt) {
        status.clear();
        if (ns != nullptr) ns->run(command, &status);
        else runCommand(command, &status);
        if (status == "200") return status;
        std::this_thread::sleep_for(200ms);
    }
    return status;
}

// Starts an installed program in its folder (in a namespace when given).
pid_t startInstalled(const std::string& folder, const std::string& settings,
                     const std::string& netns) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(folder.c_str()) != 0) ::_exit(126);
        ::setenv("TRELLON_SETTINGS", settings.c_str(), 1);
        ::freopen("/dev/null", "w", stdout);
        if (netns.empty()) {
            ::execl("./trellon", "./trellon", static_cast<char*>(nullptr));
        } else {
            ::execlp("ip", "ip", "netns", "exec", netns.c_str(), "./trellon",
                     static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    return pid;
}

int stopAndWait(pid_t pid) {
    ::kill(pid, SIGINT);
    for (int i = 0; i < 150; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(100ms);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

TEST(Packaging, InstallingIntoAFolderGivesAWorkingAgent) {
    if (runCommand("curl --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "curl is missing";
    TempDir prefix;
    std::string output;
    ASSERT_EQ(runCommand("cmake --install " + shellQuoted(buildFolder()) + " --prefix " +
                             shellQuoted(prefix.path()) + " 2>&1",
                         &output),
              0)
        << output;
    for (const char* file : {"trellon", "entityfilter", "htdocs/firstpage.htm",
                             "htdocs/substitute.conf", "htdocs/trellon.htm.original"})
        EXPECT_TRUE(fileExists(prefix.file(file))) << file;
    // A folder of one's own: nothing below /lib or /usr of it, and no log.
    EXPECT_FALSE(fs::exists(prefix.file("lib")));
    EXPECT_FALSE(fs::exists(prefix.file("usr")));
    EXPECT_FALSE(fileExists(prefix.file("htdocs/log.txt")));

    const int port = freePort();
    writeFile(prefix.file("agent.conf"), "controlPort=" + std::to_string(port) +
                                             "\nserverTcpPort=0\nreflectorResponsePort=0\n"
                                             "streamDestinationUdpPort=0\n");
    pid_t agent = startInstalled(prefix.path(), prefix.file("agent.conf"), "");
    ASSERT_GT(agent, 0);
    EXPECT_EQ(firstPageStatus(nullptr, port), "200");
    EXPECT_EQ(stopAndWait(agent), 0);
    // The agent wrote its log and start page into its own folder.
    EXPECT_NE(readFile(prefix.file("htdocs/log.txt")).find("Starting Trellon"), std::string::npos);
    EXPECT_TRUE(fileExists(prefix.file("htdocs/trellon.htm")));
}

TEST(Packaging, DebianPackageInstallsRunsAndPurges) {
    if (::geteuid() != 0) GTEST_SKIP() << "dpkg needs root";
    if (runCommand("command -v dpkg cpack >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "dpkg or cpack is missing";
    std::string why;
    if (!canUseNetworkNamespaces(&why)) GTEST_SKIP() << "skipped: " << why;
    TempDir scratch;
    std::string output;
    ASSERT_EQ(runCommand("cd " + shellQuoted(buildFolder()) + " && cpack -G DEB -B " +
                             shellQuoted(scratch.file("out")) + " 2>&1",
                         &output),
              0)
        << output;
    std::string deb;
    for (const auto& entry : fs::directory_iterator(scratch.file("out"))) {
        if (entry.path().extension() == ".deb") deb = entry.path().string();
    }
    ASSERT_FALSE(deb.empty()) << output;

    // A dpkg database of its own: the machine's is not touched.
    const std::string root = scratch.file("root");
    fs::create_directories(root + "/var/lib/dpkg/info");
    fs::create_directories(root + "/var/lib/dpkg/updates");
    writeFile(root + "/var/lib/dpkg/status", "");
    const std::string dpkg = "dpkg --root=" + shellQuoted(root) +
                             " --force-script-chrootless --force-depends --log=/dev/null ";
    ASSERT_EQ(runCommand(dpkg + "-i " + shellQuoted(deb) + " 2>&1", &output), 0) << output;
    for (const char* file :
         {"/opt/trellon/trellon", "/opt/trellon/entityfilter", "/opt/trellon/htdocs/results.htm",
          "/lib/systemd/system/trellon.service", "/usr/share/man/man1/trellon.1.gz",
          "/usr/share/man/man1/entityfilter.1.gz", "/usr/share/doc/trellon/copyright"})
        EXPECT_TRUE(fileExists(root + file)) << file;
    // The first install stored the standard settings.
    const std::string settings = root + "/etc/trellon/agent.conf";
    EXPECT_NE(readFile(settings).find("controlPort=4044\n"), std::string::npos);
    const std::string unit = readFile(root + "/lib/systemd/system/trellon.service");
    EXPECT_NE(unit.find("ExecStart=/opt/trellon/trellon\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("WorkingDirectory=/opt/trellon\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("KillSignal=SIGTERM\n"), std::string::npos) << unit;

    // Started by hand (no systemd here to start the unit), on its standard
    // ports in a namespace of its own.
    if (fs::exists("/run/systemd/system")) {
        std::printf("systemd runs here, but the package is installed in a folder: the unit is "
                    "checked by its contents and the program started by hand\n");
    }
    {
        ScopedNetns ns;
        ASSERT_TRUE(ns.ok());
        pid_t agent = startInstalled(root + "/opt/trellon", settings, ns.name());
        ASSERT_GT(agent, 0);
        EXPECT_EQ(firstPageStatus(&ns, 4044), "200");
        EXPECT_EQ(stopAndWait(agent), 0);
    }

    // A settings file a user changed survives a reinstall.
    writeFile(settings, readFile(settings) + "name=keeper\n");
    ASSERT_EQ(runCommand(dpkg + "-i " + shellQuoted(deb) + " 2>&1", &output), 0) << output;
    EXPECT_NE(readFile(settings).find("name=keeper\n"), std::string::npos);

    // Purge: what the package and the agent put there goes; a user's own file stays.
    writeFile(root + "/opt/trellon/htdocs/mine.htm", "mine");
    ASSERT_EQ(runCommand(dpkg + "--purge trellon 2>&1", &output), 0) << output;
    EXPECT_FALSE(fileExists(settings));
    EXPECT_FALSE(fileExists(root + "/opt/trellon/trellon"));
    EXPECT_FALSE(fileExists(root + "/opt/trellon/htdocs/log.txt"));
    EXPECT_FALSE(fileExists(root + "/opt/trellon/htdocs/trellon.htm"));
    EXPECT_FALSE(fileExists(root + "/lib/systemd/system/trellon.service"));
    EXPECT_TRUE(fileExists(root + "/opt/trellon/htdocs/mine.htm"));
}

TEST(Packaging, ManualPagesRender) {
    if (runCommand("command -v man >/dev/null 2>&1") != 0) GTEST_SKIP() << "man is missing (man-db)";
    for (const char* page : {"trellon", "entityfilter"}) {
        std::string text;
        ASSERT_EQ(runCommand("MANWIDTH=80 man -l " +
                                 shellQuoted(std::string(TRELLON_SOURCE_DIR) + "/docs/man/" + page +
                                        ".1") +
                                 " 2>&1",
                             &text),
                  0)
            << page;
        for (const char* section : {"NAME", "SYNOPSIS", "DESCRIPTION", "SEE ALSO"})
            EXPECT_NE(text.find(section), std::string::npos) << page << " " << section;
        EXPECT_EQ(text.find("warning"), std::string::npos) << text;
    }
    std::string agent;
    runCommand("MANWIDTH=200 man -l " + shellQuoted(std::string(TRELLON_SOURCE_DIR) + "/docs/man/trellon.1"),
               &agent);
    for (const char* part : {"4044/tcp", "/etc/trellon/agent.conf", "SIGTERM", "format=xml", "curl"})
        EXPECT_NE(agent.find(part), std::string::npos) << part;
}

}  // namespace
}  // namespace trellon::testing
