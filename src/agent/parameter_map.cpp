#include "agent/parameter_map.h"

namespace trellon {

const ParameterMap::Pair* ParameterMap::get(const std::string& name) const {
    for (const auto& pair : pairs_) {
        if (pair.name == name) return &pair;
    }
    return nullptr;
}

void ParameterMap::set(const std::string& name, std::optional<std::string> value) {
    for (auto& pair : pairs_) {
        if (pair.name == name) {
            pair.value = std::move(value);
            return;
        }
    }
    pairs_.push_back({name, std::move(value)});
}

std::string ParameterMap::text(const std::string& name) const {
    const Pair* pair = get(name);
    return pair != nullptr && pair->value ? *pair->value : std::string();
}

}  // namespace trellon
