// The settings as an ordered list of (name, value) texts.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace trellon {

class ParameterMap {
public:
    struct Pair {
        std::string name;
        std::optional<std::string> value;  // absent when set without a value
    };

    // Exact, case-sensitive search in list order; null when absent.
    const Pair* get(const std::string& name) const;
    // Replaces the value of an existing name, else appends the pair at the end.
    void set(const std::string& name, std::optional<std::string> value);

    std::size_t count() const { return pairs_.size(); }
    const Pair& at(std::size_t index) const { return pairs_.at(index); }

    // The value text, or "" when the name or its value is missing.
    std::string text(const std::string& name) const;

private:
    std::vector<Pair> pairs_;
};

}  // namespace trellon
