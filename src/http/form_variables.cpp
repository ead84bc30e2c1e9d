#include "http/form_variables.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <utility>
#include <vector>

namespace trellon {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool endsWithNoCase(const std::string& text, const char* suffix) {
    std::size_t n = std::char_traits<char>::length(suffix);
    if (text.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(text[text.size() - n + i])) != suffix[i])
            return false;
    }
    return true;
}

}  // namespace

bool FormVariables::isSelectionMark(const std::string& name) {
    if (endsWithNoCase(name, "selected") || endsWithNoCase(name, "checked")) return true;
    std::string lower;
    for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower.find("selected_") != std::string::npos ||
           lower.find("checked_") != std::string::npos;
}

std::string FormVariables::decodeComponent(const std::string& text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            decoded += ' ';
        } else if (c == '%') {
            // A "%" with fewer than two characters behind it is as broken as
            // one followed by non-hex characters: it becomes "?" too, and
            // nothing beyond the end is read.
            if (text.size() - i < 3) {
                decoded += '?';
                break;
            }
            int high = hexValue(text[i + 1]);
            int low = hexValue(text[i + 2]);
            decoded += (high < 0 || low < 0) ? '?' : static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            decoded += c;
        }
    }
    return decoded;
}

void FormVariables::decodeQuery(const std::string& query) {
    std::size_t pos = 0;
    while (pos < query.size()) {
        // A name without "=" ends the decoding, also when a later pair has one:
        // "c&a=1" is a bare c, not a variable named "c&a".
        std::size_t equals = query.find_first_of("=&", pos);
        if (equals == std::string::npos || query[equals] == '&') break;
        std::size_t valueEnd = query.find('&', equals + 1);
        if (valueEnd == std::string::npos) valueEnd = query.size();

        std::string name = query.substr(pos, std::min(equals - pos, kMaxFieldBytes));
        std::string value =
            query.substr(equals + 1, std::min(valueEnd - equals - 1, kMaxFieldBytes));
        std::string decodedName = decodeComponent(name);
        // "$" names are page variables applied unchecked into attributes;
        // only the agent itself may set them (its send-back), never a query.
        if (decodedName.empty() || decodedName[0] != '$')
            values_.emplace(std::move(decodedName), decodeComponent(value));

        pos = valueEnd < query.size() ? valueEnd + 1 : valueEnd;
    }
}

std::string FormVariables::get(const std::string& name) const {
    auto it = values_.find(name);
    return it == values_.end() ? std::string() : it->second;
}

void FormVariables::set(const std::string& name, const std::string& value) {
    values_[name] = value;
}

void FormVariables::copyAsDollarNames() {
    // Collected first: inserting into the map while walking it would visit
    // the new "$" names as well.
    std::vector<std::pair<std::string, std::string>> copies;
    copies.reserve(values_.size());
    for (const auto& [name, value] : values_) {
        // Selection marks stand bare inside tags ("<option $bytesselected>"),
        // where escaping cannot keep a value from adding attributes: the
        // agent sets them itself, a submitted field never does.
        if (isSelectionMark(name)) continue;
        copies.emplace_back("$" + name, value);
    }
    for (auto& [name, value] : copies) values_[std::move(name)] = std::move(value);
}

void FormVariables::print() const {
    for (const auto& [name, value] : values_) {
        std::printf("Form variable %s = \"%s\"\n", name.c_str(), value.c_str());
    }
}

}  // namespace trellon
