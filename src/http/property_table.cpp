#include "http/property_table.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace trellon {

namespace {

// Lines longer than this are cut; the rest of such a line is dropped rather
// than read as a line of its own.
constexpr std::size_t kMaxLineLength = 999;

bool isWhite(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

}  // namespace

PropertyTable PropertyTable::read(const std::string& fileName) {
    PropertyTable table;
    table.fileName_ = fileName;
    if (fileName.empty()) {
        table.errorText_ = "No property file provided\n";
        return table;
    }
    std::error_code ignored;
    std::ifstream in;
    // A folder opens as a stream on Linux and then reads nothing; it is not a
    // property file.
    if (!std::filesystem::is_directory(fileName, ignored)) {
        in.open(fileName, std::ios::binary);
    }
    if (!in.is_open()) {
        table.errorText_ = "Could not open property file " + fileName + "\n";
        return table;
    }

    table.readLines(in);
    return table;
}

PropertyTable PropertyTable::fromText(const std::string& text, const std::string& fileName) {
    PropertyTable table;
    table.fileName_ = fileName;
    std::istringstream in(text);
    table.readLines(in);
    return table;
}

void PropertyTable::readLines(std::istream& in) {
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.size() > kMaxLineLength) line.resize(kMaxLineLength);
        // Files edited on Windows end their lines in CR LF; the CR is not part
        // of the value.
        if (!line.empty() && line.back() == '\r') line.pop_back();

        std::size_t pos = 0;
        while (pos < line.size() && isWhite(line[pos])) ++pos;
        if (pos == line.size()) continue;
        if (line[pos] == '#' || line[pos] == '!') continue;

        std::size_t keyEnd = pos;
        while (keyEnd < line.size() && !isWhite(line[keyEnd]) && line[keyEnd] != ':' &&
               line[keyEnd] != '=') {
            ++keyEnd;
        }
        if (keyEnd == line.size()) {
            errorText_ += "Error in file " + fileName_ + ", at line " +
                                std::to_string(lineNumber) +
                                ".  Missing the '=' or the ':' after the property name\n";
            continue;
        }
        std::string key = line.substr(pos, keyEnd - pos);
        std::string value = line.substr(keyEnd + 1);
        if (values_.emplace(key, std::move(value)).second) {
            keys_.push_back(std::move(key));
        }
    }
}

std::string PropertyTable::get(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
}

std::string PropertyTable::getAttribute(const std::string& name,
                                        const std::string& attribute) const {
    return get(name + "." + attribute);
}

}  // namespace trellon
