#include "http/http_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <random>

namespace trellon {
namespace {

constexpr const char* kPlain = "text/plain; charset=ISO-8859-1";
constexpr const char* kHtml = "text/html; charset=ISO-8859-1";

TEST(ContentTypeTest, TellingRows) {
    const std::pair<const char*, const char*> cases[] = {
        {"index.html", kHtml},
        {"index.htm", kHtml},
        {"log.txt", kPlain},
        {"style.css", "text/css"},
        {"results.xml", "text/xml"},
        {"results.dtd", "text/xml"},
        {"running.gif", "image/gif"},
        {"footer_logo.jpg", "image/jpeg"},
        {"a.jpeg", "image/jpeg"},
        {"a.jpe", "image/jpeg"},
        {"a.jfif", "image/jpeg"},
        {"banner.png", "image/png"},
        {"script.js", "application/x-javascript"},
        {"setup.exe", "application/octet-stream"},
        {"data.bin", "application/octet-stream"},
        {"lib.a", "application/octet-stream"},
        {"main.o", "application/octet-stream"},
        {"core.dump", "application/octet-stream"},
        {"agent.zip", "application/x-zip-compressed"},
        {"manual.pdf", "application/pdf"},
        {"beep.wav", "audio/wav"},
        {"trellon.man", "application/x-troff-man"},
        {"notes.me", "application/x-troff-me"},
        {"paper.ms", "application/x-troff-ms"},
        {"page.wml", "text/vnd.wap.wml"},
        {"archive.sv4cpio", "application/x-sv4cpio"},
        {"archive.tar.gz", kPlain},
        {"README", kPlain},
        {"", kPlain},
        {"htm", kPlain},  // the dot is part of the ending
        {"dir.htm/file", kPlain},
    };
    for (const auto& [name, type] : cases) {
        EXPECT_STREQ(contentTypeFor(name), type) << name;
    }
}

TEST(ContentTypeTest, EndingIsComparedIgnoringCase) {
    EXPECT_STREQ(contentTypeFor("INDEX.HTM"), kHtml);
    EXPECT_STREQ(contentTypeFor("Banner.PnG"), "image/png");
    EXPECT_STREQ(contentTypeFor("STOPPED.GIF"), "image/gif");
    EXPECT_STREQ(contentTypeFor("Setup.EXE"), "application/octet-stream");
}

TEST(ContentTypeTest, EveryExtensionOfTheTableIsKnown) {
    // The table's extensions in order; each must give a type of its own.
    const char* extensions[] = {
        ".html",   ".htm",   ".txt",   ".rtx",  ".etx",  ".tsv",  ".css",   ".xml",     ".dtd",
        ".gif",    ".jpg",   ".jpeg",  ".jpe",  ".jfif", ".tif",  ".tiff",  ".pbm",     ".pgm",
        ".ppm",    ".pnm",   ".xbm",   ".xpm",  ".xwd",  ".ief",  ".png",   ".au",      ".snd",
        ".aif",    ".aiff",  ".aifc",  ".ra",   ".ram",  ".rm",   ".rpm",   ".wav",     ".mid",
        ".midi",   ".kar",   ".mpga",  ".mp2",  ".mp3",  ".mpeg", ".mpg",   ".mpe",     ".qt",
        ".mov",    ".avi",   ".movie", ".mv",   ".vx",   ".a",    ".bin",   ".exe",     ".dump",
        ".o",      ".class", ".js",    ".ai",   ".eps",  ".ps",   ".dir",   ".dcr",     ".dxr",
        ".fgd",    ".aam",   ".aas",   ".aab",  ".fh4",  ".fh7",  ".fh5",   ".fhc",     ".fh",
        ".spl",    ".swf",   ".dvi",   ".gtar", ".hdf",  ".hqx",  ".iv",    ".latex",   ".man",
        ".me",     ".mif",   ".ms",    ".oda",  ".pdf",  ".rtf",  ".bcpio", ".cpio",    ".sv4cpio",
        ".sv4crc", ".sh",    ".shar",  ".sit",  ".tar",  ".tex",  ".texi",  ".texinfo", ".tr",
        ".roff",   ".man",   ".me",    ".ms",   ".zip",  ".tsp",  ".wsrc",  ".ustar",   ".cdf",
        ".nc",     ".doc",   ".ppt",   ".wrl",  ".vrml", ".mime", ".pac",   ".wml",     ".wmlc",
        ".wmls",   ".wmlsc", ".wbmp",
    };
    ASSERT_EQ(std::size(extensions), 120u);
    for (const char* extension : extensions) {
        const std::string name = std::string("file") + extension;
        const char* type = contentTypeFor(name);
        ASSERT_NE(type, nullptr);
        if (std::strcmp(extension, ".txt") != 0) {
            EXPECT_STRNE(type, kPlain) << extension;
        }
        EXPECT_NE(std::strchr(type, '/'), nullptr) << extension;
    }
}

TEST(ContentTypeTest, TextTypesAreThoseBeginningWithText) {
    EXPECT_TRUE(isTextContentType(contentTypeFor("a.htm")));
    EXPECT_TRUE(isTextContentType(contentTypeFor("a.css")));
    EXPECT_TRUE(isTextContentType(contentTypeFor("unknown")));
    EXPECT_FALSE(isTextContentType(contentTypeFor("a.png")));
    EXPECT_FALSE(isTextContentType(contentTypeFor("a.js")));
    EXPECT_FALSE(isTextContentType(nullptr));
    EXPECT_FALSE(isTextContentType("tex"));
}

TEST(HttpTimeTest, FormatsAsGmt) {
    const std::pair<std::int64_t, const char*> cases[] = {
        {0, "Thu, 01 Jan 1970 00:00:00 GMT"},         {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
        {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"}, {1204329600, "Sat, 01 Mar 2008 00:00:00 GMT"},
        {-1, "Wed, 31 Dec 1969 23:59:59 GMT"},        {4102444799, "Thu, 31 Dec 2099 23:59:59 GMT"},
    };
    for (const auto& [seconds, text] : cases) EXPECT_EQ(formatHttpTime(seconds), text);
}

// A file's modification time is whatever the file system holds: the ends
// of the 64 bits must format without arithmetic leaving them (the sanitizer
// build stops at the overflow).
TEST(HttpTimeTest, FormatsTheEndsOfTheRange) {
    EXPECT_EQ(formatHttpTime(INT64_MIN), "Sun, 27 Jan -292277022657 08:29:52 GMT");
    EXPECT_EQ(formatHttpTime(INT64_MIN + 1), "Sun, 27 Jan -292277022657 08:29:53 GMT");
    EXPECT_EQ(formatHttpTime(INT64_MAX), "Sun, 04 Dec 292277026596 15:30:07 GMT");
}

TEST(HttpTimeTest, AgreesWithTheCLibrary) {
    std::mt19937_64 random(1994);
    for (int i = 0; i < 2000; ++i) {
        const std::int64_t seconds =
            static_cast<std::int64_t>(random() % 8000000000ULL) - 2000000000;
        const std::time_t t = static_cast<std::time_t>(seconds);
        std::tm parts{};
#ifdef _WIN32
        if (seconds < 0) continue;  // the Windows C library has no time before 1970
        ASSERT_EQ(gmtime_s(&parts, &t), 0);
#else
        ASSERT_NE(gmtime_r(&t, &parts), nullptr);
#endif
        char expected[64];
        std::strftime(expected, sizeof(expected), "%a, %d %b %Y %H:%M:%S GMT", &parts);
        ASSERT_EQ(formatHttpTime(seconds), expected) << seconds;
    }
}

TEST(HttpDateTest, AcceptsTheSevenForms) {
    const std::int64_t kNov6 = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
    const std::pair<const char*, std::int64_t> cases[] = {
        {"06-Nov-1994 08:49:37 GMT", kNov6},
        {"06 Nov 1994 08:49:37 GMT", kNov6},
        {"08:49:37 GMT 06-Nov-1994", kNov6},
        {"08:49:37 GMT 06 Nov 1994", kNov6},
        {"Sunday, 06-Nov-94 08:49:37 GMT", kNov6},
        {"Sun, 06 Nov 1994 08:49:37 GMT", kNov6},
        {"Sun Nov 6 08:49:37 GMT 1994", kNov6},
        // Variants.
        {" \t Sun, 06 Nov 1994 08:49:37 GMT", kNov6},
        {"SUN, 06 NOV 1994 08:49:37 GMT", kNov6},
        {"sunday, 06 november 1994 08:49:37 GMT", kNov6},
        {"Mon, 06 Nov 1994 08:49:37 GMT", kNov6},  // the weekday is not checked
        {"6 Nov 1994 8:49:37 GMT", kNov6},
        {"Sun, 06 Nov 1994 08:49:37 GMT; length=1234", kNov6},
        {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
        {"Tue, 29 Feb 2000 00:00:00 GMT", 951782400},
        {"Sat, 01 Mar 2008 00:00:00 GMT", 1204329600},
        {"Fri, 31 Dec 1999 23:59:59 GMT", 946684799},
        {"Tue, 31 Dec 1968 00:00:00 GMT", -31622400},
        {"Sat, 01 Jan 1901 00:00:00 GMT", -2177452800},
    };
    for (const auto& [text, seconds] : cases) EXPECT_EQ(parseHttpDate(text), seconds) << text;
}

TEST(HttpDateTest, TwoDigitYears) {
    const std::pair<const char*, std::int64_t> cases[] = {
        {"Thursday, 01-Jan-70 00:00:00 GMT", 0},
        {"Friday, 31-Dec-99 23:59:59 GMT", 946684799},
        {"Saturday, 01-Jan-00 00:00:00 GMT", 946684800},
        {"Saturday, 01-Mar-08 00:00:00 GMT", 1204329600},
        {"Thursday, 31-Dec-69 23:59:59 GMT", 3155759999},  // below 70: this century
    };
    for (const auto& [text, seconds] : cases) EXPECT_EQ(parseHttpDate(text), seconds) << text;
}

TEST(HttpDateTest, RejectsWhatNamesNoDate) {
    const char* cases[] = {
        "",
        "   ",
        "garbage",
        "Sun, 06 Nox 1994 08:49:37 GMT",  // unknown month
        "Foo, 06 Nov 1994 08:49:37 GMT",  // unknown weekday
        "Sun 06 Nov 1994 08:49:37 GMT",   // no comma and not the asctime order
        "Sun, 06 Nov 1994 08:49 GMT",     // seconds missing
        "Sun, 06 Nov 1994",
        "Sun, 00 Nov 1994 08:49:37 GMT",
        "Sun, 99 Nov 1994 08:49:37 GMT",
        "Sun, 31 Nov 1994 08:49:37 GMT",
        "Thu, 29 Feb 2001 00:00:00 GMT",
        "Sun, 06 Nov 1994 25:49:37 GMT",
        "Sun, 06 Nov 1994 08:60:37 GMT",
        "Sun, 06 Nov 1994 08:49:61 GMT",
        "Sun, 06 Nov 1994 -1:49:37 GMT",
        "Sun, 06 Nov 1900 08:49:37 GMT",  // neither two digits nor after 1900
        "Sun, 06 Nov 994 08:49:37 GMT",
        "Sun, 06 Nov -1994 08:49:37 GMT",
        "Sun, 06 Nov 99999999999999999999999 08:49:37 GMT",
        "Sun, 99999999999999999999 Nov 1994 08:49:37 GMT",
        "Sun, 06 Nov 1994 4294967304:49:37 GMT",
    };
    for (const char* text : cases) EXPECT_EQ(parseHttpDate(text), -1) << text;
}

TEST(HttpDateTest, RoundTripsItsOwnFormat) {
    std::mt19937_64 random(2008);
    for (int i = 0; i < 2000; ++i) {
        const std::int64_t seconds = static_cast<std::int64_t>(random() % 4102444800ULL);
        ASSERT_EQ(parseHttpDate(formatHttpTime(seconds)), seconds);
    }
}

TEST(HttpDateTest, RandomBytesGiveMinusOneOrAPlausibleTime) {
    std::mt19937 random(31);
    const char alphabet[] = "0123456789 :-,GMTSunNovDecmay\t";
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const int length = static_cast<int>(random() % 60);
        for (int i = 0; i < length; ++i) {
            text += (round % 2 == 0) ? static_cast<char>(random() & 0xff)
                                     : alphabet[random() % (sizeof(alphabet) - 1)];
        }
        const std::int64_t seconds = parseHttpDate(text);
        if (seconds == -1) continue;
        EXPECT_GE(seconds, -2177452800) << text;     // 1901-01-01
        EXPECT_LE(seconds, 253402300800LL) << text;  // 9999-12-31 23:59:60
    }
}

TEST(PatternTest, Matches) {
    struct Case {
        const char* pattern;
        const char* value;
        bool matches;
    };
    const Case cases[] = {
        {"**MSIE**", "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)", true},
        {"**MSIE**", "MSIE", true},
        {"**MSIE**", "Mozilla/5.0 (X11; Linux x86_64) Firefox/115.0", false},
        {"**MSIE**", "Mozilla/4.0 (compatible; msie 6.0)", false},  // case-sensitive
        {"*MSIE*", "compatible; MSIE 6.0", true},
        {"*MSIE*", "Mozilla/4.0 (compatible; MSIE 6.0)", false},  // "*" stops at "/"
        {"a?c", "abc", true},
        {"a?c", "a/c", true},
        {"a?c", "ac", false},
        {"a?c", "abcd", false},  // the whole value must match
        {"abc", "abc", true},
        {"abc", "ab", false},
        {"*", "", true},
        {"**", "", true},
        {"*", "a/b", false},
        {"**", "a/b", true},
        {"", "", true},
        {"", "x", false},
        {"curl*|Wget*|**MSIE**", "Wget/1.21", false},
        {"curl**|Wget**|**MSIE**", "Wget/1.21", true},
        {"foo|bar", "bar", true},
        {"foo|bar", "foobar", false},
        {"foo|", "", true},
        {"*.gif|*.png", "stop.png", true},
        {"*.gif|*.png", "img/stop.png", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(matchPattern(c.pattern, c.value), c.matches)
            << "\"" << c.pattern << "\" against \"" << c.value << "\"";
    }
}

TEST(PatternTest, ManyStarsAgainstALongValueStayCheap) {
    // A backtracking matcher takes exponential time here.
    const std::string value(3000, 'a');
    EXPECT_FALSE(matchPattern("*a*a*a*a*a*a*a*a*a*a*a*ab", value));
    EXPECT_FALSE(matchPattern("**a**a**a**a**a**a**a**a**ab", value));
    EXPECT_TRUE(matchPattern("*a*a*a*a*a*a*a*a*a*a*a*a", value));
}

}  // namespace
}  // namespace trellon
