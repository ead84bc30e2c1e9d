#include "results/xml_text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "results/xml_check.h"

namespace trellon {
namespace {

struct EscapeCase {
    const char* name;
    std::string input;
    std::string expected;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const EscapeCase& c, std::ostream* os) { *os << c.name; }

class EscapeXmlTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeXmlTest, Escapes) {
    EXPECT_EQ(escapeXml(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EscapeXmlTest,
    ::testing::Values(EscapeCase{"plain", "Response", "Response"},
                      EscapeCase{"markup", "<b>5 & 6</b>", "&lt;b&gt;5 &amp; 6&lt;/b&gt;"},
                      EscapeCase{"quotes", "say \"hi\" 'there'",
                                 "say &quot;hi&quot; &apos;there&apos;"},
                      // A value that already holds an entity is raw text too: escaped once more.
                      EscapeCase{"entityText", "&lt;", "&amp;lt;"},
                      EscapeCase{"latin1", "caf\xE9", "caf&#233;"},
                      EscapeCase{"latin1Nbsp", "a\xA0z", "a&#160;z"},
                      EscapeCase{"utf8TwoBytes", "caf\xC3\xA9", "caf\xC3\xA9"},
                      EscapeCase{"utf8FourBytes", "\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
                      EscapeCase{"truncatedUtf8", "\xC3", "&#195;"},
                      EscapeCase{"truncatedThreeBytes", "\xE2\x82", "&#226;&#130;"},
                      EscapeCase{"overlong", "\xC0\xAF", "&#192;&#175;"},
                      EscapeCase{"overlongThreeBytes", "\xE0\x80\xAF", "&#224;&#128;&#175;"},
                      EscapeCase{"surrogate", "\xED\xA0\x80", "&#237;&#160;&#128;"},
                      EscapeCase{"nonCharacter", "\xEF\xBF\xBE", "&#239;&#191;&#190;"},
                      EscapeCase{"aboveUnicode", "\xF4\x90\x80\x80", "&#244;&#144;&#128;&#128;"},
                      EscapeCase{"loneContinuation", "\x80x", "&#128;x"},
                      EscapeCase{"controlsDropped",
                                 std::string("a\x01\x1F\x7F"
                                             "b\0c",
                                             7),
                                 "a\x7F"
                                 "bc"},
                      EscapeCase{"whitespaceKept", "a\tb\nc", "a\tb\nc"},
                      EscapeCase{"carriageReturn", "a\rb", "a&#13;b"}, EscapeCase{"empty", "", ""}),
    [](const ::testing::TestParamInfo<EscapeCase>& info) { return info.param.name; });

TEST(EscapeXml, EveryByteAndRandomTextParse) {
    std::string document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r>\n";
    for (int b = 0; b < 256; ++b) {
        document += "<v>" + escapeXml(std::string(1, static_cast<char>(b))) + "</v>\n";
    }
    std::mt19937 random(12345);
    for (int i = 0; i < 200; ++i) {
        std::string text;
        int length = static_cast<int>(random() % 40);
        for (int k = 0; k < length; ++k) text += static_cast<char>(random() % 256);
        document += "<v>" + escapeXml(text) + "</v>\n";
    }
    document += "</r>";
    EXPECT_TRUE(testing::parsesAsXml(document));
}

TEST(EscapeXml, ParserReadsBackTheOriginalText) {
    std::string text = "<a href=\"x?y=1&z=2\">caf\xC3\xA9 \xF0\x9F\x98\x80</a>\tend";
    std::string document =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r><v>" + escapeXml(text) + "</v></r>";
    EXPECT_EQ(testing::parsedElementText(document, "v"), text);
    // Latin-1 text comes back as the same characters, now in UTF-8.
    std::string latin = "\xE9t\xE9";
    document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r><v>" + escapeXml(latin) + "</v></r>";
    EXPECT_EQ(testing::parsedElementText(document, "v"), "\xC3\xA9t\xC3\xA9");
}

TEST(XmlElementName, MendsWhatXmlRefuses) {
    EXPECT_EQ(xmlElementName("remotePort"), "remotePort");
    EXPECT_EQ(xmlElementName("jitterMovingAverage16"), "jitterMovingAverage16");
    EXPECT_EQ(xmlElementName("a-b.c_d"), "a-b.c_d");
    EXPECT_EQ(xmlElementName("a b"), "a_b");
    EXPECT_EQ(xmlElementName("1st"), "_1st");
    EXPECT_EQ(xmlElementName("-x"), "_-x");
    EXPECT_EQ(xmlElementName(""), "_");
    EXPECT_EQ(xmlElementName("x><script"), "x__script");
    EXPECT_EQ(xmlElementName("ns:tag"), "ns_tag");
    EXPECT_EQ(xmlElementName("caf\xC3\xA9"), "caf__");
}

TEST(XmlElementName, HostileNamesMakeElementsThatParse) {
    std::string document = "<r>";
    for (const char* name :
         {"", "1", "a b", "<x>", "&amp;", "\"q\"", "\xFF", "x/y", "--", ".a", "_ok"}) {
        std::string element = xmlElementName(name);
        document += "<" + element + ">v</" + element + ">";
    }
    document += "</r>";
    EXPECT_TRUE(testing::parsesAsXml(document));
}

}  // namespace
}  // namespace trellon
