// Small helpers for tests that drive a real agent's settings pages: the
// fields of a page, and a save as the agent's own settings page submits it.
#pragma once

#include <map>
#include <string>

namespace trellon::testing::settings {

// The value attribute of the field with this name, or "<no field>".
// Plain finds rather than std::regex: GCC 12 warns inside <regex> under the sanitizers.
inline std::string fieldValue(const std::string& page, const std::string& name) {
    const std::string start = "name=\"" + name + "\" value=\"";
    const std::size_t at = page.find(start);
    if (at == std::string::npos) return "<no field>";
    const std::size_t end = page.find('"', at + start.size());
    if (end == std::string::npos) return "<no field>";
    return page.substr(at + start.size(), end - at - start.size());
}

// Base64 of text, for an Authorization header.
inline std::string base64(const std::string& text) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < text.size(); i += 3) {
        unsigned bits = static_cast<unsigned char>(text[i]) << 16;
        if (i + 1 < text.size()) bits |= static_cast<unsigned char>(text[i + 1]) << 8;
        if (i + 2 < text.size()) bits |= static_cast<unsigned char>(text[i + 2]);
        out += kAlphabet[(bits >> 18) & 63];
        out += kAlphabet[(bits >> 12) & 63];
        out += i + 1 < text.size() ? kAlphabet[(bits >> 6) & 63] : '=';
        out += i + 2 < text.size() ? kAlphabet[bits & 63] : '=';
    }
    return out;
}

inline std::string tokenOf(const std::string& page) {
    return fieldValue(page, "settingsToken");
}

// The settings form's query: every field as a fresh page submits it, then
// changes by name (a value of "" leaves a box unticked by leaving it out).
inline std::string saveQuery(const std::string& token,
                             const std::map<std::string, std::string>& changes) {
    std::map<std::string, std::string> fields = {
        {"responseTimePort", "0"},
        {"bandwidthPort", "0"},
        {"streamingClientPort", "0"},
        {"streamingServerPort", "0"},
        {"responseTimeLimit", "60"},
        {"bandwidthTimeLimit", "60"},
        {"streamingTimeLimit", "60"},
        {"invisible", "ON"},
        {"userName", "admin"},
        {"password1", ""},
        {"password2", ""},
        {"hint", ""},
    };
    for (const auto& [name, value] : changes) fields[name] = value;
    std::string query = "/runsettingscommand?";
    for (const auto& [name, value] : fields) {
        const bool box = name == "invisible" || name == "usehtdocs" ||
                         name == "useBasicAuthentication" || name == "useHTTPS";
        if (box && value.empty()) continue;
        query += name + "=" + value + "&";
    }
    if (!token.empty()) query += "settingsToken=" + token + "&";
    return query + "B1=Save+settings";
}

}  // namespace trellon::testing::settings
