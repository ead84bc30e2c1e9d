#include "results/json_text.h"

#include <cstdint>
#include <cstdio>
#include <map>

namespace trellon {

namespace {

void appendEscape(std::string& out, std::uint32_t unit) {
    char text[8];
    std::snprintf(text, sizeof(text), "\\u%04x", static_cast<unsigned>(unit));
    out += text;
}

void appendCodePoint(std::string& out, std::uint32_t codePoint) {
    if (codePoint >= 0x10000) {
        codePoint -= 0x10000;
        appendEscape(out, 0xD800 + (codePoint >> 10));
        appendEscape(out, 0xDC00 + (codePoint & 0x3FF));
    } else {
        appendEscape(out, codePoint);
    }
}

// The length of a valid UTF-8 sequence at text[at] and its code point; 0
// when the bytes there are not one (overlong forms and surrogates included).
std::size_t utf8Sequence(std::string_view text, std::size_t at, std::uint32_t& codePoint) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    std::size_t length;
    std::uint32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        unsigned char next = byte(at + i);
        if ((next & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return length;
}

std::string valueText(const JsonMember& member) {
    return member.isNumber ? member.value : jsonString(member.value);
}

}  // namespace

std::string jsonString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            appendEscape(out, c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            std::uint32_t codePoint = 0;
            std::size_t length = utf8Sequence(text, at, codePoint);
            if (length == 0) {
                appendEscape(out, c);  // a Latin-1 byte
                ++at;
                continue;
            }
            appendCodePoint(out, codePoint);
            at += length;
            continue;
        }
        ++at;
    }
    out += '"';
    return out;
}

std::string jsonObject(const std::vector<JsonMember>& members) {
    // Every value of each name, in order, without repeats.
    std::vector<std::string> order;
    std::map<std::string, std::vector<const JsonMember*>> values;
    for (const JsonMember& member : members) {
        auto [it, fresh] = values.try_emplace(member.name);
        if (fresh) order.push_back(member.name);
        bool seen = false;
        for (const JsonMember* earlier : it->second)
            seen = seen || (earlier->value == member.value && earlier->isNumber == member.isNumber);
        if (!seen) it->second.push_back(&member);
    }
    std::string out = "{";
    bool first = true;
    for (const std::string& name : order) {
        const auto& list = values[name];
        out += first ? "\n    " : ",\n    ";
        first = false;
        out += jsonString(name);
        out += ": ";
        if (list.size() == 1) {
            out += valueText(*list.front());
            continue;
        }
        out += '[';
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (i != 0) out += ", ";
            out += valueText(*list[i]);
        }
        out += ']';
    }
    out += "\n}";
    return out;
}

}  // namespace trellon
