#include "http/templates.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "http/embedded_documents.h"
#include "http/http_format.h"
#include "support/test_support.h"

namespace trellon {
namespace {

using trellon::testing::TempDir;
using trellon::testing::writeFile;

ResponseBuffer bufferWith(const std::string& text) {
    ResponseBuffer buffer;
    buffer.append(text);
    return buffer;
}

// ---------------------------------------------------------------------------
// Key replacement

TEST(ReplaceKeyTest, Replaces) {
    struct Case {
        std::string text, key, value, expected;
        int count;
    };
    const Case cases[] = {
        {"$a and $a", "$a", "X", "X and X", 2},
        {"<td>$timeLimit</td>", "$timeLimit", "10", "<td>10</td>", 1},
        {"$timeLimit", "$timeLimit", "", "", 1},
        {"no variables", "$x", "1", "no variables", 0},
        // A key ending in a name character is not the front of a longer name.
        {"$dscpSelected_1 $dscpSelected_10", "$dscpSelected_1", "S", "S $dscpSelected_10", 1},
        {"$dscpSelected_10 $dscpSelected_1", "$dscpSelected_10", "T", "T $dscpSelected_1", 1},
        {"$stdoutHtml $stdout.", "$stdout", "o", "$stdoutHtml o.", 1},
        {"x $stdout", "$stdout", "o", "x o", 1},
        {"$stdout_x$stdout9$stdoutA", "$stdout", "o", "$stdout_x$stdout9$stdoutA", 0},
        {"$stdout$stdout", "$stdout", "o", "oo", 2},  // "$" is no name character
        {"aaa.", "aa", "V", "aV.", 1},                // the later start ends the name
        // Keys ending otherwise match anywhere.
        {"a<!--longresults-->b<!--longresults-->", "<!--longresults-->", "R", "aRbR", 2},
        {"1$ 2$x", "$", "D", "1D 2Dx", 2},
        // The search resumes behind each inserted value.
        {"$x $x", "$x", "[$x]", "[$x] [$x]", 2},
        {"$x", "$x", "$x$x", "$x$x", 1},
        {"$x$x", "$x", "$", "$$", 2},
        {std::string("a\0$k\0b", 6), "$k", "v", std::string("a\0v\0b", 5), 1},
    };
    for (const Case& c : cases) {
        ResponseBuffer buffer = bufferWith(c.text);
        EXPECT_EQ(replaceKey(buffer, c.key, c.value), c.count) << c.text << " / " << c.key;
        EXPECT_EQ(buffer.str(), c.expected) << c.text << " / " << c.key;
    }
}

TEST(ReplaceKeyTest, EmptyKeyOrBufferReplacesNothing) {
    ResponseBuffer buffer = bufferWith("text");
    EXPECT_EQ(replaceKey(buffer, "", "x"), 0);
    EXPECT_EQ(buffer.str(), "text");
    ResponseBuffer empty;
    EXPECT_EQ(replaceKey(empty, "$a", "x"), 0);
    EXPECT_TRUE(empty.empty());
}

TEST(ReplaceKeyTest, PrefixCollidingKeysOfAChoiceListStayApart) {
    std::string page;
    std::string expected;
    for (int i = 0; i < 64; ++i) {
        page += "<option $dscpSelected_" + std::to_string(i) + ">\n";
        expected += i == 10 ? "<option selected>\n" : "<option >\n";
    }
    ResponseBuffer buffer = bufferWith(page);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(
            replaceKey(buffer, "$dscpSelected_" + std::to_string(i), i == 10 ? "selected" : ""), 1)
            << i;
    }
    EXPECT_EQ(buffer.str(), expected);
}

TEST(ReplaceKeyTest, RandomTextKeepsLengthArithmetic) {
    std::mt19937 random(4044);
    const char alphabet[] = "$ab_1<>!-";
    for (int round = 0; round < 3000; ++round) {
        auto randomText = [&](int maxLength) {
            std::string text;
            const int length = static_cast<int>(random() % maxLength);
            for (int i = 0; i < length; ++i) {
                text += (round % 3 == 0) ? static_cast<char>(random() & 0xff)
                                         : alphabet[random() % (sizeof(alphabet) - 1)];
            }
            return text;
        };
        const std::string text = randomText(300);
        const std::string key = randomText(5);
        const std::string value = randomText(8);
        ResponseBuffer buffer = bufferWith(text);
        const int count = replaceKey(buffer, key, value);
        ASSERT_GE(count, 0);
        if (key.empty()) {
            ASSERT_EQ(count, 0);
        }
        ASSERT_EQ(buffer.size() + count * key.size(), text.size() + count * value.size());
    }
}

// ---------------------------------------------------------------------------
// Form variables and substitutions

TEST(ApplyFormVariablesTest, PlainAndEscapedModes) {
    FormVariables variables;
    variables.decodeQuery("timeLimit=%3C10&x=1");
    variables.set("$title", "A<b> \xE9");  // page variables come from the agent itself
    variables.set("$", "2");
    const std::string page = "$timeLimit|$title|$x|$";

    ResponseBuffer plain = bufferWith(page);
    EXPECT_EQ(applyFormVariables(plain, variables, false), 1);
    EXPECT_EQ(plain.str(), "<10|$title|$x|$");  // raw value, "$title" left alone

    ResponseBuffer escaped = bufferWith(page);
    EXPECT_EQ(applyFormVariables(escaped, variables, true), 1);
    EXPECT_EQ(escaped.str(), "$timeLimit|A&lt;b&gt; &eacute;|$x|$");
}

TEST(ApplyFormVariablesTest, InputPageShownAgainGetsEscapedUserValues) {
    FormVariables variables;
    variables.decodeQuery("remoteComputer=%22peer%22&timeLimit=10");
    variables.copyAsDollarNames();
    ResponseBuffer page = bufferWith("value=\"$remoteComputer\" $timeLimit");
    EXPECT_EQ(applyFormVariables(page, variables, true), 2);
    EXPECT_EQ(page.str(), "value=\"&quot;peer&quot;\" 10");
}

TEST(ApplyFormVariablesTest, EmptyNameDoesNotEatEveryDollar) {
    FormVariables variables;
    variables.decodeQuery("=oops&ok=1");
    ResponseBuffer page = bufferWith("$ok costs $5");
    EXPECT_EQ(applyFormVariables(page, variables, false), 1);
    EXPECT_EQ(page.str(), "1 costs $5");
}

TEST(ApplySubstitutionsTest, AppliesKeysInFileOrderAndSkipsDottedKeys) {
    TempDir dir;
    writeFile(dir.file("substitute.conf"),
              "# site values\n"
              "$copyright (c) 2008 Ostrand\n"
              "$copy.right=never\n"
              "$banner_site=<a href=\"$support_url\">site</a>\n"
              "$support_url=http://support.example\n");
    PropertyTable table = PropertyTable::read(dir.file("substitute.conf"));
    ASSERT_EQ(table.errorText(), "");

    ResponseBuffer page =
        bufferWith("<p>$copyright</p>$banner_site<p>$copy.right</p><i>$copyright</i>");
    EXPECT_EQ(applySubstitutions(page, table), 4);
    // "$support_url" comes after "$banner_site" in the file, so the value put
    // in by "$banner_site" is replaced in turn.
    EXPECT_EQ(page.str(),
              "<p>(c) 2008 Ostrand</p><a href=\"http://support.example\">site</a>"
              "<p>$copy.right</p><i>(c) 2008 Ostrand</i>");

    PropertyTable missing = PropertyTable::read(dir.file("absent.conf"));
    ResponseBuffer untouched = bufferWith("$copyright");
    EXPECT_EQ(applySubstitutions(untouched, missing), 0);
    EXPECT_EQ(untouched.str(), "$copyright");
}

TEST(MessageTest, PutsTheMessageRow) {
    EXPECT_EQ(messageRow("Bad port"), "<tr><td class=\"messages\" >Bad port</td><tr>");
    ResponseBuffer page = bufferWith("<table>$messages</table>$messagesX");
    putMessage(page, "Time limit too long");
    EXPECT_EQ(page.str(),
              "<table><tr><td class=\"messages\" >Time limit too long</td><tr></table>$messagesX");
}

// ---------------------------------------------------------------------------
// HTML escaping

TEST(EscapeHtmlTest, Escapes) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain text 123", "plain text 123"},
        {"\"&<>", "&quot;&amp;&lt;&gt;"},
        {"<script>alert('x')</script>", "&lt;script&gt;alert('x')&lt;/script&gt;"},
        {"caf\xe9", "caf&eacute;"},
        {"line\r\nnext", "line \nnext"},
        {"\xa0\xa9\xc6\xd7\xdf\xf7\xff", "&nbsp;&copy;&AElig;&times;&szlig;&divide;&yuml;"},
        {"\x80\x9f\x7f\t", "\x80\x9f\x7f\t"},
        {"&amp;", "&amp;amp;"},
        {"", ""},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(escapeHtml(text), expected);
}

TEST(EscapeHtmlTest, EntityTableHasOneHundredRows) {
    int rows = 0;
    for (int code = 0; code < 256; ++code) {
        const char* entity = htmlEntity(static_cast<unsigned char>(code));
        if (entity == nullptr) continue;
        ++rows;
        const std::string text(entity);
        EXPECT_EQ(text.front(), '&') << code;
        EXPECT_EQ(text.back(), ';') << code;
        EXPECT_TRUE(code == 34 || code == 38 || code == 60 || code == 62 || code >= 160) << code;
    }
    EXPECT_EQ(rows, 100);
    EXPECT_STREQ(htmlEntity(233), "&eacute;");
    EXPECT_STREQ(htmlEntity(160), "&nbsp;");
    EXPECT_STREQ(htmlEntity(255), "&yuml;");
    EXPECT_EQ(htmlEntity('a'), nullptr);
    EXPECT_EQ(htmlEntity('\r'), nullptr);
}

// ---------------------------------------------------------------------------
// Base64

TEST(Base64Test, EncodesWithPadding) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"admin:secret", "YWRtaW46c2VjcmV0"},
        {std::string("\0\xff\xfe", 3), "AP/+"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(base64Encode(bytes), text);
        EXPECT_EQ(base64Decode(text), bytes) << text;
    }
}

TEST(Base64Test, DecodeSkipsForeignCharactersAndStopsAfterAShortGroup) {
    const std::pair<std::string, std::string> cases[] = {
        {"Zm9v\r\nYmFy", "foobar"},
        {" Zm 9v Ym Fy ", "foobar"},
        {"Zm9v!*YmFy\x80", "foobar"},
        {"Zg==Zm9v", "f"},  // nothing after a group that gave one byte
        {"Zm8=Zm9v", "fo"},
        {"Zm9vYg", "foo"},  // an unfinished last group gives nothing
        {"Zm9vY", "foo"},
        {"====", std::string(1, '\0')},
        {"!!!!", ""},
    };
    for (const auto& [text, bytes] : cases) EXPECT_EQ(base64Decode(text), bytes) << text;
}

TEST(Base64Test, RoundTripsEveryByteAndLength) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    EXPECT_EQ(base64Decode(base64Encode(all)), all);

    std::mt19937 random(64);
    for (std::size_t length = 0; length < 100; ++length) {
        std::string bytes;
        for (std::size_t i = 0; i < length; ++i) bytes += static_cast<char>(random() & 0xff);
        const std::string text = base64Encode(bytes);
        EXPECT_EQ(text.size(), (length + 2) / 3 * 4);
        EXPECT_EQ(text.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        EXPECT_EQ(base64Decode(text), bytes) << length;
    }
}

TEST(Base64Test, RandomTextDecodesWithoutTrouble) {
    std::mt19937 random(99);
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 200);
        for (int i = 0; i < length; ++i) text += static_cast<char>(random() & 0xff);
        EXPECT_LE(base64Decode(text).size(), text.size() / 4 * 3);
    }
}

// ---------------------------------------------------------------------------
// Document loading

class LoadDocumentTest : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(dir_.file("substitute.conf"), "$copyright (c) Ostrand\n$a.b=dotted\n");
        substitutions_ = PropertyTable::read(dir_.file("substitute.conf"));
        withSubstitutions_.substitutions = &substitutions_;
    }

    TempDir dir_;
    PropertyTable substitutions_;
    DocumentOptions withSubstitutions_;
};

TEST_F(LoadDocumentTest, TextFromDiskGetsTheSubstitutions) {
    writeFile(dir_.file("page.htm"), "<p>$copyright</p>$a.b<p>$copyright</p>");
    for (bool useHtdocs : {false, true}) {
        DocumentOptions options = withSubstitutions_;
        options.useHtdocs = useHtdocs;
        ResponseBuffer out;
        out.append("HEAD $copyright\r\n");
        ASSERT_TRUE(loadDocument(dir_.file("page.htm"), out, options));
        // What was in the buffer before is not touched.
        EXPECT_EQ(out.str(), "HEAD $copyright\r\n<p>(c) Ostrand</p>$a.b<p>(c) Ostrand</p>");
    }
}

TEST_F(LoadDocumentTest, BinaryFromDiskIsLoadedUnchanged) {
    const std::string bytes("\x89PNG\0$copyright\xff", 15);
    writeFile(dir_.file("picture.png"), bytes);
    ResponseBuffer out;
    ASSERT_TRUE(loadDocument(dir_.file("picture.png"), out, withSubstitutions_));
    EXPECT_EQ(out.str(), bytes);
}

TEST_F(LoadDocumentTest, LargeFileIsReadWhole) {
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i) + "\n";
    writeFile(dir_.file("big.txt"), text);
    ResponseBuffer out;
    ASSERT_TRUE(loadDocument(dir_.file("big.txt"), out, DocumentOptions{}));
    EXPECT_EQ(out.str(), text);
}

TEST_F(LoadDocumentTest, NothingFoundLeavesTheBufferUnchanged) {
    for (bool useHtdocs : {false, true}) {
        DocumentOptions options;
        options.useHtdocs = useHtdocs;
        ResponseBuffer out = bufferWith("before");
        EXPECT_FALSE(loadDocument(dir_.file("no-such-page.htm"), out, options));
        EXPECT_FALSE(loadDocument(dir_.path(), out, options));  // a folder is no document
        EXPECT_EQ(out.str(), "before");
    }
}

TEST_F(LoadDocumentTest, EmptyFileIsLoadedAsNothing) {
    writeFile(dir_.file("empty.htm"), "");
    ResponseBuffer out;
    EXPECT_TRUE(loadDocument(dir_.file("empty.htm"), out, DocumentOptions{}));
    EXPECT_TRUE(out.empty());
}

TEST_F(LoadDocumentTest, EmbeddedCopyComesFirstUnlessTheFolderIsInUse) {
    // Whatever the build embedded: a page with a "<" in it if there is one.
    const EmbeddedDocument* embedded = &kEmbeddedDocuments[0];
    for (const EmbeddedDocument* d = kEmbeddedDocuments; d->name != nullptr; ++d) {
        if (isTextContentType(contentTypeFor(d->name)) &&
            std::memchr(d->data, '<', d->length) != nullptr) {
            embedded = d;
            break;
        }
    }
    if (embedded->name == nullptr) GTEST_SKIP() << "the build embedded no documents";
    const std::string name = embedded->name;
    ASSERT_EQ(findEmbeddedDocument(name), embedded);

    // Replacing "<" makes the substitution visible without knowing the page.
    writeFile(dir_.file("marks.conf"), "< [\n");
    const PropertyTable marks = PropertyTable::read(dir_.file("marks.conf"));
    const std::string raw(reinterpret_cast<const char*>(embedded->data), embedded->length);
    ResponseBuffer expected = bufferWith(raw);
    if (isTextContentType(contentTypeFor(name))) applySubstitutions(expected, marks);

    writeFile(dir_.file(name), "disk <copy>");
    DocumentOptions options;
    options.substitutions = &marks;

    options.useHtdocs = false;
    ResponseBuffer fromTable;
    ASSERT_TRUE(loadDocument(dir_.file(name), fromTable, options));
    EXPECT_EQ(fromTable.str(), expected.str());

    ResponseBuffer elsewhere;  // only the name behind the last "/" counts
    ASSERT_TRUE(loadDocument("/no/such/folder/" + name, elsewhere, options));
    EXPECT_EQ(elsewhere.str(), expected.str());

    options.useHtdocs = true;
    ResponseBuffer fromDisk;
    ASSERT_TRUE(loadDocument(dir_.file(name), fromDisk, options));
    EXPECT_EQ(fromDisk.str(),
              isTextContentType(contentTypeFor(name)) ? "disk [copy>" : "disk <copy>");

    ResponseBuffer fallback;  // not on disk: the embedded copy again
    ASSERT_TRUE(loadDocument("/no/such/folder/" + name, fallback, options));
    EXPECT_EQ(fallback.str(), expected.str());
}

}  // namespace
}  // namespace trellon
