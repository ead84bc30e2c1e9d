// FormVariables: the decoded query of one request, ordered by name, one value
// per name.
#pragma once

#include <map>
#include <string>

namespace trellon {

class FormVariables {
public:
    // Names and values are cut to this many bytes before decoding.
    static constexpr std::size_t kMaxFieldBytes = 103;

    // "a=1&b=x+y%21&c" gives a = "1", b = "x y!"; a name without "=" ends the
    // decoding; a name given twice keeps its first value; a name that begins
    // with "$" is dropped (page variables never come from a query).
    void decodeQuery(const std::string& query);

    std::string get(const std::string& name) const;               // "" when absent
    void set(const std::string& name, const std::string& value);  // replaces
    bool has(const std::string& name) const { return values_.count(name) != 0; }

    // Copies every variable under the name "$" + its name (so an input page
    // shown again can put the user's values back in escaped mode), except
    // selection marks, which the agent sets itself.
    void copyAsDollarNames();

    // Names of the pages' selection marks ("mbytesselected", "voipchecked",
    // "dscpSelected_EF"): they stand bare inside tags.
    static bool isSelectionMark(const std::string& name);

    // "Form variable %s = \"%s\"\n" for each, on the console.
    void print() const;

    const std::map<std::string, std::string>& all() const { return values_; }

    // "+" is a blank, "%" and two hex digits that byte, "%" and two other
    // characters "?" (both consumed), any other byte copied.
    static std::string decodeComponent(const std::string& text);

private:
    std::map<std::string, std::string> values_;
};

}  // namespace trellon
