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
    // decoding; a name given twice keeps its first value.
    void decodeQuery(const std::string& query);

    std::string get(const std::string& name) const;  // "" when absent
    void set(const std::string& name, const std::string& value);  // replaces
    bool has(const std::string& name) const { return values_.count(name) != 0; }

    // Copies every variable under the name "$" + its name (so an input page
    // shown again can put the user's values back in escaped mode).
    void copyAsDollarNames();

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
