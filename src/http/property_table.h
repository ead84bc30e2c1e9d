// PropertyTable: the reader of "substitute.conf" and the plug-in definition
// files. Lines of "key value", "key=value" or "key:value"; "#" and "!"
// comments. Reading never throws; every problem becomes text in errorText().
#pragma once

#include <iosfwd>
#include <map>
#include <string>
#include <vector>

namespace trellon {

class PropertyTable {
public:
    // An empty name gives "No property file provided\n"; a file that cannot be
    // opened "Could not open property file <name>\n"; the table is then empty.
    static PropertyTable read(const std::string& fileName);
    // The same reading of text already in memory; fileName only names it in
    // the messages.
    static PropertyTable fromText(const std::string& text, const std::string& fileName);

    // The value, or "" when the key is absent.
    std::string get(const std::string& key) const;
    // get(name + "." + attribute)
    std::string getAttribute(const std::string& name, const std::string& attribute) const;
    bool has(const std::string& key) const { return values_.count(key) != 0; }

    const std::string& fileName() const { return fileName_; }
    const std::vector<std::string>& keys() const { return keys_; }  // in file order
    const std::string& errorText() const { return errorText_; }

private:
    void readLines(std::istream& in);

    std::string fileName_;
    std::map<std::string, std::string> values_;
    std::vector<std::string> keys_;
    std::string errorText_;
};

}  // namespace trellon
