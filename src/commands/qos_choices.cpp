#include "commands/qos_choices.h"

#include <climits>

#include "http/templates.h"

namespace trellon {

namespace {

constexpr const char* kSelected = "SELECTED";

bool beginsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Leading decimal digits as a number, 0 when there are none; capped so a long
// digit string cannot overflow (any such value is out of range anyway).
int leadingNumber(const std::string& text) {
    long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
        if (value > INT_MAX) return INT_MAX;
    }
    return static_cast<int>(value);
}

bool anyMarkIn(const FormVariables& form, const std::string& prefix) {
    auto it = form.all().lower_bound(prefix);
    return it != form.all().end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

void markList(ResponseBuffer& page, const std::string& prefix, const std::vector<std::string>& keys,
              const std::string& selectedKey) {
    for (const std::string& key : keys)
        replaceKey(page, prefix + key, key == selectedKey ? kSelected : "");
}

}  // namespace

const std::vector<DscpName>& namedDscpCodePoints() {
    static const std::vector<DscpName> names = {
        {"CS0", 0},   {"CS1", 8},   {"CS2", 16},  {"CS3", 24},  {"CS4", 32},  {"CS5", 40},
        {"CS6", 48},  {"CS7", 56},  {"AF11", 10}, {"AF12", 12}, {"AF13", 14}, {"AF21", 18},
        {"AF22", 20}, {"AF23", 22}, {"AF31", 26}, {"AF32", 28}, {"AF33", 30}, {"AF41", 34},
        {"AF42", 36}, {"AF43", 38}, {"EF", 46},
    };
    return names;
}

const std::vector<std::string>& dscpKeys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> all{"Off"};
        for (const DscpName& name : namedDscpCodePoints()) all.emplace_back(name.key);
        for (int i = 0; i <= 63; ++i) all.push_back(std::to_string(i));
        return all;
    }();
    return keys;
}

const std::vector<std::string>& priorityKeys() {
    static const std::vector<std::string> keys = {"Off", "0", "1", "2", "3", "4", "5", "6", "7"};
    return keys;
}

int dscpFromChoice(const std::string& text) {
    if (text.empty() || beginsWith(text, "Off")) return -1;
    for (const DscpName& name : namedDscpCodePoints()) {
        if (beginsWith(text, name.key)) return name.codePoint;
    }
    return leadingNumber(text);
}

int priorityFromChoice(const std::string& text) {
    if (text.empty() || beginsWith(text, "Off")) return -1;
    return leadingNumber(text);
}

void markChoices(FormVariables& form, const std::string& dscpText,
                 const std::string& priorityText) {
    const std::string dscpPrefix = kDscpMarkPrefix;
    const std::string priorityPrefix = kPriorityMarkPrefix;
    for (const std::string& key : dscpKeys()) form.set(dscpPrefix + key, "");
    for (const std::string& key : priorityKeys()) form.set(priorityPrefix + key, "");

    std::string dscpKey;
    if (beginsWith(dscpText, "Off")) {
        dscpKey = "Off";
    } else {
        for (const DscpName& name : namedDscpCodePoints()) {
            if (beginsWith(dscpText, name.key)) {
                dscpKey = name.key;
                break;
            }
        }
    }
    if (dscpKey.empty()) {
        for (int i = 0; i <= 63 && dscpKey.empty(); ++i) {
            if (dscpText == std::to_string(i)) dscpKey = dscpText;
        }
    }
    if (!dscpKey.empty()) form.set(dscpPrefix + dscpKey, kSelected);

    std::string priorityKey;
    if (beginsWith(priorityText, "Off")) {
        priorityKey = "Off";
    } else {
        for (const std::string& key : priorityKeys()) {
            if (priorityText == key) priorityKey = key;
        }
    }
    if (!priorityKey.empty()) form.set(priorityPrefix + priorityKey, kSelected);
}

void applyDefaultQosMarks(ResponseBuffer& page) {
    markList(page, kDscpMarkPrefix, dscpKeys(), "Off");
    markList(page, kPriorityMarkPrefix, priorityKeys(), "Off");
}

void clearRemainingQosMarks(ResponseBuffer& page, const FormVariables& form) {
    markList(page, kDscpMarkPrefix, dscpKeys(), anyMarkIn(form, kDscpMarkPrefix) ? "" : "Off");
    markList(page, kPriorityMarkPrefix, priorityKeys(),
             anyMarkIn(form, kPriorityMarkPrefix) ? "" : "Off");
}

}  // namespace trellon
