#include "plugins/plugin_definition.h"

#include <charconv>
#include <climits>
#include <fstream>
#include <optional>

#include "http/property_table.h"
#include "http/templates.h"
#include "platform/file_system.h"
#include "plugins/plugin_pages.h"

namespace trellon {

namespace {

// The help texts stored with the definition; a missing required property
// names its own.
constexpr const char* kHelpInvisible =
    "Does this test appear on the first page?  Set invisible=true to hide it from the first menu "
    "page.";
constexpr const char* kHelpMenu = "Short prompt user sees on first page.";
constexpr const char* kHelpMenuHelp = "Longer help message user sees on first page.";
constexpr const char* kHelpMenuOrder =
    "Number used to sort all plugins for benefit of first page menu.";
constexpr const char* kHelpInputPage =
    "HTML file used to collect input from user and to tell them what will happen.";
constexpr const char* kHelpTimeLimit = "Maximum seconds to let this run.";
constexpr const char* kHelpRefreshInterval = "Time between screen refreshes.";
constexpr const char* kHelpReportInterval = "Time between progress report lines.";
constexpr const char* kHelpOutputPage =
    "HTML file used to show the results of stdout in $results tag.";
constexpr const char* kHelpTitle = "Title string for results page.";
constexpr const char* kHelpExplanation = "Explanation string for results page.";
constexpr const char* kHelpLocalRole = "Part that this (local) computer plays.";
constexpr const char* kHelpRemoteRole = "Part that the other (remote) computer plays.";
constexpr const char* kHelpBookmarkTitle = "Title used in bookmarks.";
constexpr const char* kHelpStdoutHtml = "Is the stdout output in HTML format?";
constexpr const char* kHelpStderrHtml = "Is the stderr output in HTML format?";
constexpr const char* kHelpPassword = "Is there an HTTP password on this?";
constexpr const char* kHelpParentEnvVars =
    "Set true to include parent environment variables in process running the command.";
constexpr const char* kHelpCommandLine = "Command to run.";

std::string booleanMessage(const char* property) {
    return std::string("The \"") + property +
           "\" property can only be blank or missing, or equal to \"yes\" or \"no\".\n";
}

std::string quoted(const char* pattern, const std::string& value, const std::string& field) {
    // Every pattern here has the value, then the field, as its two %s.
    std::string text = pattern;
    const std::size_t first = text.find("%s");
    text.replace(first, 2, value);
    const std::size_t second = text.find("%s", first + value.size());
    text.replace(second, 2, field);
    return text;
}

bool isBlank(const std::string& text) {
    for (char c : text)
        if (c != ' ' && c != '\t') return false;
    return true;
}

bool isDigits(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// Digits that fit a 32-bit integer (the definition stores its numbers so).
std::optional<long long> parseInteger(const std::string& text) {
    if (!isDigits(text) || text.size() > 10) return std::nullopt;
    const long long value = std::stoll(text);
    if (value > INT_MAX) return std::nullopt;
    return value;
}

// An optional sign, digits and at most one ".", with at least one digit.
bool isFloatText(const std::string& text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    bool digit = false;
    bool point = false;
    for (; i < text.size(); ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            digit = true;
        } else if (text[i] == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digit;
}

std::optional<double> parseFloat(const std::string& text) {
    if (!isFloatText(text)) return std::nullopt;
    const char* begin = text.data() + (text[0] == '+' ? 1 : 0);
    double value = 0;
    auto [end, error] = std::from_chars(begin, text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// "yes", "true" or blank: true; "no": false; anything else: none.
std::optional<bool> parsePropertyBoolean(const std::string& value) {
    if (value == "yes" || value == "true" || isBlank(value)) return true;
    if (value == "no") return false;
    return std::nullopt;
}

bool isNameText(const std::string& text, bool allowLeadingDigit) {
    if (text.empty()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !(digit && (allowLeadingDigit || i > 0))) return false;
    }
    return true;
}

// A host name or address as a destination field may carry: it is handed to
// programs as an argument, so it must not look like an option either.
bool isComputerName(const std::string& text) {
    if (text.empty() || text.size() > 253 || text[0] == '-') return false;
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' || c == ':' ||
                        c == '%';
        if (!ok) return false;
    }
    return true;
}

// Compares two digit strings as numbers, without overflow: <0, 0, >0.
int compareDigits(std::string a, std::string b) {
    auto strip = [](std::string& s) {
        std::size_t zeros = 0;
        while (zeros + 1 < s.size() && s[zeros] == '0') ++zeros;
        s.erase(0, zeros);
    };
    strip(a);
    strip(b);
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

// The integer checks of a property or an integer field's default value.
void checkIntegerText(const std::string& name, const std::string& value, const std::string& minText,
                      const std::string& maxText, std::string& errors) {
    std::optional<long long> number;
    if (!value.empty()) {
        number = parseInteger(value);
        if (!number)
            errors += quoted("The value \"%s\" for field \"%s\" is not a valid integer number.\n",
                             value, name);
    }
    if (!minText.empty()) {
        std::optional<long long> minimum = parseInteger(minText);
        if (!minimum)
            errors +=
                quoted("The min value \"%s\" for field \"%s\" is not a valid integer number.\n",
                       minText, name);
        else if (number && *number < *minimum)
            errors +=
                quoted("The default value \"%s\" for field \"%s\" is lower than the min value.\n",
                       value, name);
    }
    if (!maxText.empty()) {
        std::optional<long long> maximum = parseInteger(maxText);
        if (!maximum)
            errors +=
                quoted("The max value \"%s\" for field \"%s\" is not a valid integer number.\n",
                       maxText, name);
        else if (number && *number > *maximum)
            errors +=
                quoted("The default value \"%s\" for field \"%s\" is greater than the max value.\n",
                       value, name);
    }
}

void checkFloatText(const std::string& name, const std::string& value, const std::string& minText,
                    const std::string& maxText, std::string& errors) {
    std::optional<double> number;
    if (!value.empty()) {
        number = parseFloat(value);
        if (!number)
            errors += quoted(
                "The value \"%s\" for field \"%s\" is not a valid float number. Try something in "
                "the form of 99 or 99. or 99.99 etc.\n",
                value, name);
    }
    if (!minText.empty()) {
        std::optional<double> minimum = parseFloat(minText);
        if (!minimum)
            errors += quoted(
                "The min value \"%s\" for field \"%s\" is not a valid floating point number.\n",
                minText, name);
        else if (number && *number < *minimum)
            errors +=
                quoted("The default value \"%s\" for field \"%s\" is lower than the min value.\n",
                       value, name);
    }
    if (!maxText.empty()) {
        std::optional<double> maximum = parseFloat(maxText);
        if (!maximum)
            errors += quoted(
                "The max value \"%s\" for field \"%s\" is not a valid floating point number.\n",
                maxText, name);
        else if (number && *number > *maximum)
            errors +=
                quoted("The default value \"%s\" for field \"%s\" is greater than the max value.\n",
                       value, name);
    }
}

std::string lowered(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace

bool PluginDefinition::isValidName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '.') return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

std::shared_ptr<PluginDefinition> PluginDefinition::build(const std::string& filePath,
                                                          const std::string& name) {
    std::shared_ptr<PluginDefinition> definition(new PluginDefinition());
    definition->name_ = name;
    definition->runnerName_ = "run_" + name;
    definition->filePath_ = filePath;
    // A FIFO named like a definition would block the server's construction
    // in its open; only regular files are read.
    if (platform::fileKind(filePath) != platform::FileKind::regular) {
        definition->errorText_ = "Could not open property file " + filePath + "\n";
        return definition;
    }
    const PropertyTable table = PropertyTable::read(filePath);
    if (!table.errorText().empty()) {
        definition->errorText_ = table.errorText();
        return definition;
    }
    const std::size_t slash = filePath.find_last_of('/');
    definition->directory_ = slash == std::string::npos ? "./" : filePath.substr(0, slash + 1);
    definition->readProperties(table);
    definition->readFields(table);
    return definition;
}

void PluginDefinition::readProperties(const PropertyTable& table) {
    // The value, or the default of an optional property; a required one
    // that is missing is an error.
    auto take = [&](const char* name, bool required, const char* defaultValue, const char* help) {
        std::string value = table.get(name);
        if (value.empty()) {
            if (required)
                errorText_ +=
                    std::string("Missing property ") + name + " What it does: " + help + "\n";
            else
                value = defaultValue;
        }
        return value;
    };
    auto takeBoolean = [&](const char* name, const char* messageName, bool required,
                           const char* defaultValue, const char* help) {
        const std::string value = take(name, required, defaultValue, help);
        if (value.empty()) return false;  // required and missing: reported above
        std::optional<bool> flag = parsePropertyBoolean(value);
        if (!flag) {
            errorText_ += booleanMessage(messageName);
            return false;
        }
        return *flag;
    };
    auto takeInteger = [&](const char* name, bool required, const char* defaultValue,
                           const char* help, const char* minimum, const char* maximum) {
        const std::string value = take(name, required, defaultValue, help);
        checkIntegerText(name, value, minimum, maximum, errorText_);
        std::optional<long long> number = parseInteger(value);
        return number ? static_cast<int>(*number) : 0;
    };

    invisible_ = takeBoolean("invisible", "invisible", false, "no", kHelpInvisible);
    menu_ = take("menu", true, "", kHelpMenu);
    menuHelp_ = take("menuHelp", true, "", kHelpMenuHelp);
    menuOrder_ = takeInteger("menuOrder", true, "0", kHelpMenuOrder, "0", "100");
    inputPage_ = take("inputPage", true, "", kHelpInputPage);
    timeLimit_ = takeInteger("timeLimit", false, "100", kHelpTimeLimit, "0", "180");
    const std::size_t beforeRefresh = errorText_.size();
    refreshInterval_ =
        takeInteger("refreshInterval", false, "10", kHelpRefreshInterval, "0", "999999");
    const bool refreshReadable = errorText_.size() == beforeRefresh;
    reportInterval_ = takeInteger("reportInterval", false, "1", kHelpReportInterval, "0", "999999");
    // The page refresh binds the 1 to 60 seconds the built-in tests allow:
    // a page that reloads without pause, or once a day, helps nobody.
    if (refreshReadable)
        checkIntegerText("refreshInterval", std::to_string(refreshInterval_), "1", "60",
                         errorText_);
    outputPage_ = take("outputPage", true, "", kHelpOutputPage);
    title_ = take("title", true, "", kHelpTitle);
    explanation_ = take("explanation", true, "", kHelpExplanation);
    localRole_ = take("localRole", false, "", kHelpLocalRole);
    remoteRole_ = take("remoteRole", false, "", kHelpRemoteRole);
    bookmarkTitle_ = take("bookmarkTitle", true, "", kHelpBookmarkTitle);
    stdoutHtml_ = takeBoolean("stdoutHtml", "stdoutHtml", false, "no", kHelpStdoutHtml);
    stderrHtml_ = takeBoolean("stderrHtml", "stderrHtml", false, "no", kHelpStderrHtml);
    password_ = takeBoolean("password", "password", true, "", kHelpPassword);
    parentEnvVars_ =
        takeBoolean("parentEnvVars", "setParentEnvVars", false, "yes", kHelpParentEnvVars);
    commandLine_ = take("commandLine", true, "", kHelpCommandLine);
    if (commandLine_.empty()) errorText_ += "Missing the \"commandLine\" property.\n";

    checkPage(inputPage_, "Failed to open the input HTML file named ");
    checkPage(outputPage_, "Failed to open the output HTML file named ");
}

void PluginDefinition::checkPage(const std::string& page, const char* message) {
    if (page.empty()) return;  // reported as a missing property
    const std::string path = directory_ + page;
    // The pages are served to anybody who can reach the agent: they must be
    // files below the plug-ins folder, not whatever a path can name.
    std::string folder = directory_;
    while (!folder.empty() && folder.back() == '/') folder.pop_back();
    const std::size_t slash = folder.find_last_of('/');
    const std::string pluginsRoot = platform::canonicalPath(
        slash == std::string::npos ? std::string(".") : folder.substr(0, slash + 1));
    const std::string real = platform::canonicalPath(path);
    bool usable = !pluginsRoot.empty() &&
                  real.compare(0, pluginsRoot.size() + 1, pluginsRoot + "/") == 0 &&
                  platform::fileKind(real) == platform::FileKind::regular;
    if (usable) usable = std::ifstream(real, std::ios::binary).is_open();
    if (!usable) errorText_ += message + path + "\n";
}

void PluginDefinition::readFields(const PropertyTable& table) {
    for (int n = 1;; ++n) {
        const std::string name = table.get("field." + std::to_string(n));
        if (name.empty()) break;
        if (n > kMaxFields) {
            errorText_ += "More than " + std::to_string(kMaxFields) +
                          " fields; a definition may have at most that many.\n";
            break;
        }
        ActionField field;
        field.name = name;
        std::string& errors = field.errorText;
        // The name is a form variable, "$" + name in the pages and part of the
        // attribute keys: letters, digits and underscores only.
        if (!isNameText(name, true))
            errors +=
                "The field name \"" + name + "\" can only hold letters, digits and underscores.\n";

        const std::string type = table.getAttribute(name, "type");
        if (type.empty() || type == "string")
            field.type = ActionField::kString;
        else if (type == "integer")
            field.type = ActionField::kInteger;
        else if (type == "boolean")
            field.type = ActionField::kBoolean;
        else if (type == "float")
            field.type = ActionField::kFloat;
        else
            errors += "Unknown type string for field " + name + ". Found " + type +
                      " but was expecting one of string, integer, boolean, float\n";

        const std::string formField = table.getAttribute(name, "formField");
        if (formField.empty() || formField == "text")
            field.formField = ActionField::kText;
        else if (formField == "checkbox")
            field.formField = ActionField::kCheckbox;
        else
            errors += "Unknown form field type for  field " + name + ".  Found " + formField +
                      " but was expecting one of text, checkbox, radio, or nothing (default is "
                      "text)\n";

        field.defaultValue = table.getAttribute(name, "defaultValue");
        field.helpMessage = table.getAttribute(name, "helpMessage");
        field.minText = table.getAttribute(name, "min");
        field.maxText = table.getAttribute(name, "max");

        auto flag = [&](const char* attribute) {
            const std::string value = lowered(table.getAttribute(name, attribute));
            if (value == "true" || value == "yes") return true;
            if (!(value == "false" || value == "no" || isBlank(value)))
                errors += std::string("The value for \"") + attribute + "\" for field " + name +
                          " must be one of true, yes, false, no, or blank.\n";
            return false;
        };
        field.required = flag("required");
        field.isDestination = flag("isDestination");
        field.isChecked = flag("isChecked");
        field.isTrellonComputer = flag("isTrellonComputer");

        field.environmentVariable = table.getAttribute(name, "environmentVariable");
        if (!field.environmentVariable.empty() && !isNameText(field.environmentVariable, false))
            errors += "The environment variable name \"" + field.environmentVariable +
                      "\" for field " + name +
                      " can only hold letters, digits and underscores, and cannot begin with a "
                      "digit.\n";

        if (field.type == ActionField::kInteger) {
            checkIntegerText(name, field.defaultValue, field.minText, field.maxText, errors);
            if (auto minimum = parseInteger(field.minText)) field.minInteger = *minimum;
            if (auto maximum = parseInteger(field.maxText)) field.maxInteger = *maximum;
        } else if (field.type == ActionField::kFloat) {
            checkFloatText(name, field.defaultValue, field.minText, field.maxText, errors);
            if (auto minimum = parseFloat(field.minText)) field.minFloat = *minimum;
            if (auto maximum = parseFloat(field.maxText)) field.maxFloat = *maximum;
        }
        errorText_ += errors;
        fields_.push_back(std::move(field));
    }
}

std::string PluginDefinition::checkValue(const ActionField& field, const std::string& value,
                                         const AgentCheck& agentCheck) const {
    if (value.empty()) {
        if (field.required)
            return "Please supply a value for the  " + field.name + " field\n" + "(" +
                   field.helpMessage + ")\n";
        // Nothing to check: an unticked checkbox or an optional number left
        // empty is no mistake of the user's.
        return "";
    }
    std::string messages;
    const std::string below =
        "The value for \"" + field.name + "\" must be greater than or equal to ";
    const std::string above = "The value for \"" + field.name + "\" must be less than or equal to ";
    switch (field.type) {
        case ActionField::kInteger:
            if (!isDigits(value))
                return "Please enter an integer number for the " + field.name + " field.\n";
            if (!field.minText.empty() && parseInteger(field.minText) &&
                compareDigits(value, field.minText) < 0)
                messages += below + field.minText + ".\n";
            if (!field.maxText.empty() && parseInteger(field.maxText) &&
                compareDigits(value, field.maxText) > 0)
                messages += above + field.maxText + ".\n";
            return messages;
        case ActionField::kFloat: {
            std::optional<double> number = parseFloat(value);
            if (!number)
                return "Please enter an integer number for the " + field.name + " field.\n";
            if (!field.minText.empty() && parseFloat(field.minText) && *number < field.minFloat)
                messages += below + field.minText + ".\n";
            if (!field.maxText.empty() && parseFloat(field.maxText) && *number > field.maxFloat)
                messages += above + field.maxText + ".\n";
            return messages;
        }
        case ActionField::kBoolean: {
            const std::string word = lowered(value);
            if (word != "true" && word != "on" && word != "false" && word != "off")
                return "Field " + field.name +
                       " should be one of \"true\", \"on\", \"false\", or \"off\"\n";
            return "";
        }
        default:
            break;
    }
    if ((field.isDestination || field.isTrellonComputer) && !isComputerName(value))
        return "The value for the " + field.name + " field must be a computer name or address.\n";
    if (field.isTrellonComputer && agentCheck) return agentCheck(value);
    return "";
}

std::string PluginDefinition::checkValues(const FormVariables& form,
                                          const AgentCheck& agentCheck) const {
    std::string messages;
    for (const ActionField& field : fields_)
        messages += checkValue(field, form.get(field.name), agentCheck);
    return messages;
}

std::vector<std::pair<std::string, std::string>> PluginDefinition::pageVariables(
    const std::string& hostName) const {
    return {
        {"$localComputer", pluginPageText(hostName)},
        {"$runPage", runnerName_},
        {"$rootDir", pluginPageText(directory_)},
        {"$localRole", localRole_},
        {"$remoteRole", remoteRole_},
        {"$title", title_},
        {"$explanation", explanation_},
        {"$menuPrompt", menu_},
        {"$menuHelp", menuHelp_},
        {"$menuOrder", std::to_string(menuOrder_)},
        {"$timeLimit", std::to_string(timeLimit_)},
        {"$refreshInterval", std::to_string(refreshInterval_)},
        {"$reportInterval", std::to_string(reportInterval_)},
        {"$stdoutHtml", stdoutHtml_ ? "true" : "false"},
        {"$stderrHtml", stderrHtml_ ? "true" : "false"},
        {"$actualCommandLine", pluginPageText(commandLine_)},
    };
}

}  // namespace trellon
