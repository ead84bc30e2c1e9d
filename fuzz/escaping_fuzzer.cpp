// HTML and XML escaping: whatever the text, the HTML form carries no raw
// quotation mark, angle bracket or carriage return and every ampersand
// starts a named entity; the XML form is text that XML 1.0 accepts (valid
// UTF-8, no control character but TAB and LF, every ampersand an entity or a
// character reference); element names are names.
#include <cstring>
#include <string_view>

#include "fuzz_check.h"
#include "http/templates.h"
#include "results/xml_text.h"

using namespace trellon;

namespace {

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Length of a well-formed UTF-8 sequence at text[i] (any scalar value but
// the surrogates), 0 when there is none.
std::size_t utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = lead < 0x80                    ? 1
                         : lead >= 0xC2 && lead <= 0xDF ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 0;
    if (length == 0 || i + length > text.size()) return 0;
    std::uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u) return 0;
        code = code << 6 | (byte(i + k) & 0x3Fu);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
        return 0;
    if (code >= 0xD800 && code <= 0xDFFF) return 0;
    return length;
}

void checkHtml(const std::string& input) {
    const std::string html = escapeHtml(input);
    for (std::size_t i = 0; i < html.size(); ++i) {
        const char c = html[i];
        FUZZ_CHECK(c != '"' && c != '<' && c != '>' && c != '\r');
        FUZZ_CHECK(static_cast<unsigned char>(c) < 160);
        if (c != '&') continue;
        const std::size_t semicolon = html.find(';', i);
        FUZZ_CHECK(semicolon != std::string::npos && semicolon - i <= 8);
        bool known = false;
        const std::string entity = html.substr(i, semicolon - i + 1);
        for (int byte = 0; byte < 256 && !known; ++byte) {
            const char* text = htmlEntity(static_cast<unsigned char>(byte));
            known = text != nullptr && entity == text;
        }
        FUZZ_CHECK(known);
    }
}

void checkXml(const std::string& input) {
    const std::string xml = escapeXml(input);
    for (std::size_t i = 0; i < xml.size();) {
        const unsigned char c = static_cast<unsigned char>(xml[i]);
        FUZZ_CHECK(c != '<' && c != '>' && c != '"' && c != '\'');
        FUZZ_CHECK(c >= 0x20 || c == '\t' || c == '\n');
        if (c == '&') {
            const std::size_t semicolon = xml.find(';', i);
            FUZZ_CHECK(semicolon != std::string::npos);
            const std::string entity = xml.substr(i + 1, semicolon - i - 1);
            bool named = entity == "quot" || entity == "apos" || entity == "amp" ||
                         entity == "lt" || entity == "gt";
            bool numeric = entity.size() >= 2 && entity[0] == '#';
            for (std::size_t k = 1; numeric && k < entity.size(); ++k) numeric = isDigit(entity[k]);
            FUZZ_CHECK(named || numeric);
            if (numeric) {
                const long code = std::strtol(entity.c_str() + 1, nullptr, 10);
                FUZZ_CHECK(code == 9 || code == 10 || code == 13 || (code >= 0x20 && code <= 0xFF));
            }
            i = semicolon + 1;
            continue;
        }
        const std::size_t length = utf8Length(xml, i);
        FUZZ_CHECK(length > 0);
        i += length;
    }
}

void checkElementName(const std::string& input) {
    const std::string name = xmlElementName(input);
    FUZZ_CHECK(!name.empty());
    FUZZ_CHECK(isLetter(name[0]) || name[0] == '_');
    for (char c : name) FUZZ_CHECK(isLetter(c) || isDigit(c) || c == '_' || c == '-' || c == '.');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = fuzz::text(data, size);
    checkHtml(input);
    checkXml(input);
    checkElementName(input);
    return 0;
}
