#include "http/property_table.h"

#include <gtest/gtest.h>

#include <random>

#include "support/test_support.h"

namespace trellon {
namespace {

using trellon::testing::TempDir;
using trellon::testing::writeFile;

PropertyTable readText(const TempDir& dir, const std::string& text) {
    const std::string name = dir.file("props.conf");
    writeFile(name, text);
    return PropertyTable::read(name);
}

TEST(PropertyTableTest, ParsesLines) {
    struct Case {
        std::string text;
        std::vector<std::string> keys;
        std::vector<std::string> values;
    };
    const Case cases[] = {
        {"menu=word\n", {"menu"}, {"word"}},
        {"menu word\n", {"menu"}, {"word"}},
        {"menu:word\n", {"menu"}, {"word"}},
        {"menu = word\n", {"menu"}, {"= word"}},  // only the one separator is taken
        {"menu\tword\n", {"menu"}, {"word"}},
        {"   \t  menu=word\n", {"menu"}, {"word"}},
        {"menu=word  \n", {"menu"}, {"word  "}},
        {"menu=\n", {"menu"}, {""}},
        {"menu \n", {"menu"}, {""}},
        {"url=http://host:4044/a?b=c\n", {"url"}, {"http://host:4044/a?b=c"}},
        {"menu=word", {"menu"}, {"word"}},      // no line feed at the end
        {"menu=word\r\n", {"menu"}, {"word"}},  // written on Windows
        {"# comment=1\n! bang=2\n   # indented\n\n \t \nkey=v\n", {"key"}, {"v"}},
        {"$copyright (c) 2008\n$banner_site=<img src=banner.png>\n",
         {"$copyright", "$banner_site"},
         {"(c) 2008", "<img src=banner.png>"}},
        {"z=1\na=2\nm=3\n", {"z", "a", "m"}, {"1", "2", "3"}},  // file order, not sorted
        {"field.type=text\nfield.label:Name\n", {"field.type", "field.label"}, {"text", "Name"}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        PropertyTable table = readText(dir, c.text);
        EXPECT_EQ(table.errorText(), "") << c.text;
        EXPECT_EQ(table.keys(), c.keys) << c.text;
        for (std::size_t i = 0; i < c.keys.size() && i < c.values.size(); ++i) {
            EXPECT_TRUE(table.has(c.keys[i]));
            EXPECT_EQ(table.get(c.keys[i]), c.values[i]) << c.text;
        }
    }
}

TEST(PropertyTableTest, KeyWithoutSeparatorIsReportedAndReadingGoesOn) {
    TempDir dir;
    const std::string name = dir.file("plugin.conf");
    writeFile(name, "a=1\nb=2\nlonely\nc=3\n   alone\n");
    PropertyTable table = PropertyTable::read(name);
    EXPECT_EQ(table.errorText(),
              "Error in file " + name +
                  ", at line 3.  Missing the '=' or the ':' after the property name\n"
                  "Error in file " +
                  name + ", at line 5.  Missing the '=' or the ':' after the property name\n");
    EXPECT_EQ(table.keys(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(table.get("c"), "3");
    EXPECT_FALSE(table.has("lonely"));
}

TEST(PropertyTableTest, DuplicateKeyKeepsTheFirstValue) {
    TempDir dir;
    PropertyTable table = readText(dir, "# header\nkey=first\nother=x\n\nkey=second\n");
    EXPECT_EQ(table.get("key"), "first");
    EXPECT_EQ(table.keys(), (std::vector<std::string>{"key", "other"}));
    EXPECT_EQ(table.errorText(), "");
}

TEST(PropertyTableTest, EmptyFileGivesEmptyTableWithoutError) {
    TempDir dir;
    PropertyTable table = readText(dir, "");
    EXPECT_TRUE(table.keys().empty());
    EXPECT_EQ(table.errorText(), "");
    EXPECT_EQ(table.fileName(), dir.file("props.conf"));
}

TEST(PropertyTableTest, MissingOrUnnamedFileGivesItsErrorText) {
    TempDir dir;
    const std::string missing = dir.file("absent.conf");
    PropertyTable table = PropertyTable::read(missing);
    EXPECT_EQ(table.errorText(), "Could not open property file " + missing + "\n");
    EXPECT_TRUE(table.keys().empty());

    PropertyTable folder = PropertyTable::read(dir.path());
    EXPECT_EQ(folder.errorText(), "Could not open property file " + dir.path() + "\n");

    PropertyTable unnamed = PropertyTable::read("");
    EXPECT_EQ(unnamed.errorText(), "No property file provided\n");
    EXPECT_TRUE(unnamed.keys().empty());
}

TEST(PropertyTableTest, GetAttributeJoinsWithADot) {
    TempDir dir;
    PropertyTable table = readText(dir, "count.type=int\ncount.label=Count\n");
    EXPECT_EQ(table.getAttribute("count", "type"), "int");
    EXPECT_EQ(table.getAttribute("count", "label"), "Count");
    EXPECT_EQ(table.getAttribute("count", "missing"), "");
    EXPECT_EQ(table.get("absent"), "");
}

TEST(PropertyTableTest, OverlongLineIsCutAndItsRestIsNotALine) {
    TempDir dir;
    PropertyTable table = readText(dir, "long=" + std::string(3000, 'x') + "\nnext=1\n");
    EXPECT_EQ(table.get("long"), std::string(999 - 5, 'x'));
    EXPECT_EQ(table.keys(), (std::vector<std::string>{"long", "next"}));
    EXPECT_EQ(table.errorText(), "");
}

TEST(PropertyTableTest, RandomBytesNeverBreakTheReader) {
    std::mt19937 random(7);
    const char alphabet[] = "ab =:#!\t\r\n\n\n\x00\xe9";
    TempDir dir;
    for (int round = 0; round < 200; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 3000);
        for (int i = 0; i < length; ++i) text += alphabet[random() % (sizeof(alphabet) - 1)];
        PropertyTable table = readText(dir, text);
        for (const std::string& key : table.keys()) {
            EXPECT_TRUE(table.has(key));
            EXPECT_EQ(key.find_first_of(" \t\r\n=:"), std::string::npos);
            EXPECT_LE(key.size() + 1 + table.get(key).size(), 999u);
        }
    }
}

}  // namespace
}  // namespace trellon
