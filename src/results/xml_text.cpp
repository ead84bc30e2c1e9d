#include "results/xml_text.h"

#include <cstdint>

namespace trellon {

namespace {

// Length of the valid UTF-8 sequence that starts at text[i] and encodes a
// character XML allows, or 0. Overlong forms, surrogates, values above
// U+10FFFF and the non-characters U+FFFE and U+FFFF are refused.
std::size_t validUtf8Length(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    std::size_t length;
    std::uint32_t code;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        unsigned char c = byte(i + k);
        if ((c & 0xC0u) != 0x80u) return 0;
        code = (code << 6) | (c & 0x3Fu);
    }
    if (length == 3 && code < 0x800) return 0;
    if (length == 4 && (code < 0x10000 || code > 0x10FFFF)) return 0;
    if (code >= 0xD800 && code <= 0xDFFF) return 0;
    if (code == 0xFFFE || code == 0xFFFF) return 0;
    return length;
}

bool isNameByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

}  // namespace

std::string escapeXml(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            std::size_t length = validUtf8Length(text, i);
            if (length > 0) {
                out.append(text.substr(i, length));
                i += length;
            } else {
                out += "&#" + std::to_string(c) + ";";
                ++i;
            }
            continue;
        }
        switch (c) {
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\r':
                out += "&#13;";
                break;
            case '\t':
            case '\n':
                out += static_cast<char>(c);
                break;
            default:
                if (c >= 0x20) out += static_cast<char>(c);
                break;
        }
        ++i;
    }
    return out;
}

std::string xmlElementName(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 1);
    for (char ch : name) out += isNameByte(static_cast<unsigned char>(ch)) ? ch : '_';
    bool goodStart = !out.empty() && ((out[0] >= 'a' && out[0] <= 'z') ||
                                      (out[0] >= 'A' && out[0] <= 'Z') || out[0] == '_');
    if (!goodStart) out.insert(out.begin(), '_');
    return out;
}

}  // namespace trellon
