#include "platform/settings_store.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/test_support.h"

namespace trellon::platform {
namespace {

using trellon::testing::fileExists;
using trellon::testing::readFile;
using trellon::testing::TempDir;
using trellon::testing::writeFile;

TEST(SettingsStore, PathComesFromTheEnvironment) {
    ::setenv("TRELLON_SETTINGS", "/tmp/somewhere/agent.conf", 1);
    EXPECT_EQ(SettingsStore::defaultPath(), "/tmp/somewhere/agent.conf");
    ::setenv("TRELLON_SETTINGS", "", 1);
    EXPECT_EQ(SettingsStore::defaultPath(), "/etc/trellon/agent.conf");
    ::unsetenv("TRELLON_SETTINGS");
    EXPECT_EQ(SettingsStore::defaultPath(), "/etc/trellon/agent.conf");
}

TEST(SettingsStore, AnyTextRoundTrips) {
    TempDir dir;
    SettingsStore store(dir.file("sub/dir/agent.conf"));
    EXPECT_FALSE(store.openFullAccess());
    bool created = false;
    ASSERT_TRUE(store.create(created));
    EXPECT_TRUE(created);
    EXPECT_TRUE(store.openFullAccess());
    ASSERT_TRUE(store.create(created));
    EXPECT_FALSE(created);

    const std::string tricky = "a=b\\c\nline two\r\nend\\n";
    ASSERT_TRUE(store.writeValues({{"plain", "4044"}, {"tricky", tricky}, {"empty", ""}}));
    std::string value;
    ASSERT_TRUE(store.readValue("tricky", value));
    EXPECT_EQ(value, tricky);
    ASSERT_TRUE(store.readValue("empty", value));
    EXPECT_EQ(value, "");
    EXPECT_FALSE(store.readValue("missing", value));

    // A later write replaces one value and keeps the others.
    ASSERT_TRUE(store.writeValues({{"plain", "5000"}}));
    ASSERT_TRUE(store.readValue("plain", value));
    EXPECT_EQ(value, "5000");
    ASSERT_TRUE(store.readValue("tricky", value));
    EXPECT_EQ(value, tricky);

    EXPECT_TRUE(store.remove());
    EXPECT_FALSE(fileExists(store.path()));
    EXPECT_FALSE(store.remove());
}

TEST(SettingsStore, ValuesOf128CharactersCannotBeReadBack) {
    TempDir dir;
    SettingsStore store(dir.file("agent.conf"));
    ASSERT_TRUE(store.writeValues({{"ok", std::string(127, 'x')}, {"long", std::string(128, 'y')}}));
    std::string value;
    EXPECT_TRUE(store.readValue("ok", value));
    EXPECT_EQ(value.size(), 127u);
    EXPECT_FALSE(store.readValue("long", value));
}

TEST(SettingsStore, AnInterruptedSaveLeavesThePreviousFileIntact) {
    TempDir dir;
    SettingsStore store(dir.file("agent.conf"));
    ASSERT_TRUE(store.writeValues({{"controlPort", "4044"}, {"name", "admin"}}));
    const std::string before = readFile(store.path());

    SettingsStore::setBeforeRenameHook([] { return false; });  // fail between write and rename
    EXPECT_FALSE(store.writeValues({{"controlPort", "9999"}, {"name", "mallory"}}));
    SettingsStore::setBeforeRenameHook({});

    EXPECT_EQ(readFile(store.path()), before);
    std::string value;
    ASSERT_TRUE(store.readValue("controlPort", value));
    EXPECT_EQ(value, "4044");
    // No temporary file is left beside it.
    std::string listing;
    trellon::testing::runCommand("ls -A '" + dir.path() + "'", &listing);
    EXPECT_EQ(listing, "agent.conf\n");
}

TEST(SettingsStore, HandWrittenFilesAreRead) {
    TempDir dir;
    writeFile(dir.file("agent.conf"), "# comment\ncontrolPort=4050\n\nbroken line\nname=a=b\n");
    SettingsStore store(dir.file("agent.conf"));
    std::string value;
    ASSERT_TRUE(store.readValue("controlPort", value));
    EXPECT_EQ(value, "4050");
    ASSERT_TRUE(store.readValue("name", value));
    EXPECT_EQ(value, "a=b");
}

}  // namespace
}  // namespace trellon::platform
