// PluginDefinition: one plug-in's definition file, read and checked.
//
// An administrator adds a test by putting a folder below htdocs/plugins
// with a definition ("name.conf"), an input page and an output page. The
// definition names the command line, the form fields (how each is checked
// and handed to the command) and the texts of the pages. Building a
// definition never throws and never stops the agent: every problem becomes
// a line of errorText(), and only a definition without errors is registered.
//
// A definition is made once, at server construction, and read-only after
// that (only the first page's menu position changes, atomically). It is
// shared: the server's plug-in list, the plug-in's two commands and the
// records of its runs hold it, so a record outlives a rebuilt server.
//
// Everything in the file is somebody else's text: every number has bounds,
// the pages must be regular files inside the plug-ins folder, names are
// restricted to what a page, a URL and an environment can carry.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "http/form_variables.h"
#include "http/plugin_entry.h"

namespace trellon {

class PropertyTable;

// One form field of a plug-in, from the keys "field.N" and "<name>.<attribute>".
struct ActionField {
    enum Type { kString = 1, kInteger = 2, kBoolean = 3, kFloat = 4 };
    enum FormField { kText = 100, kCheckbox = 101 };

    std::string name;  // the input's name, the form variable and "$" + name in pages
    int type = kString;
    int formField = kText;
    std::string defaultValue;
    std::string helpMessage;
    std::string minText;  // as written; "" when none was given
    std::string maxText;
    long long minInteger = 0;  // integer fields, when minText is given
    long long maxInteger = 0;
    double minFloat = 0;  // float fields
    double maxFloat = 0;
    bool required = false;
    bool isDestination = false;       // the value names the computer the test goes to
    bool isChecked = false;           // a checkbox ticked at first display
    bool isTrellonComputer = false;   // the value is a computer that must run the agent
    std::string environmentVariable;  // the value is given to the command in this variable
    std::string errorText;            // this field's part of the definition's errors
};

class PluginDefinition : public PluginEntry {
public:
    // Definitions with more fields than this are refused.
    static constexpr int kMaxFields = 100;
    // Checking a submitted value of an isTrellonComputer field: "" when the
    // computer runs the agent, else the message for the user.
    using AgentCheck = std::function<std::string(const std::string& computer)>;

    // Reads and checks the file; name is the file name without ".conf".
    static std::shared_ptr<PluginDefinition> build(const std::string& filePath,
                                                   const std::string& name);

    // Whether a file name without ".conf" may name a plug-in: it becomes a
    // command name, a URL path and a value in the first page's markup.
    static bool isValidName(const std::string& name);

    bool valid() const { return errorText_.empty(); }
    const std::string& errorText() const { return errorText_; }

    // PluginEntry
    const std::string& pluginName() const override { return name_; }
    std::string menu() const override { return menu_; }
    std::string menuHelp() const override { return menuHelp_; }
    int menuOrder() const override { return menuOrder_; }
    bool invisible() const override { return invisible_; }

    const std::string& filePath() const { return filePath_; }
    // The definition file's folder, ending in "/".
    const std::string& directory() const { return directory_; }
    const std::string& runnerName() const { return runnerName_; }
    const std::string& inputPage() const { return inputPage_; }
    const std::string& outputPage() const { return outputPage_; }
    std::string inputPagePath() const { return directory_ + inputPage_; }
    std::string outputPagePath() const { return directory_ + outputPage_; }
    int timeLimit() const { return timeLimit_; }
    int refreshInterval() const { return refreshInterval_; }
    int reportInterval() const { return reportInterval_; }
    const std::string& title() const { return title_; }
    const std::string& explanation() const { return explanation_; }
    const std::string& localRole() const { return localRole_; }
    const std::string& remoteRole() const { return remoteRole_; }
    const std::string& bookmarkTitle() const { return bookmarkTitle_; }
    bool stdoutHtml() const { return stdoutHtml_; }
    bool stderrHtml() const { return stderrHtml_; }
    bool password() const { return password_; }
    bool parentEnvVars() const { return parentEnvVars_; }
    const std::string& commandLine() const { return commandLine_; }
    const std::vector<ActionField>& fields() const { return fields_; }

    // The messages for one submitted value ("" when it is acceptable).
    std::string checkValue(const ActionField& field, const std::string& value,
                           const AgentCheck& agentCheck) const;
    // Every field's messages, in definition order.
    std::string checkValues(const FormVariables& form, const AgentCheck& agentCheck) const;

    // The definition's page variables ("$runPage", "$title", ...) and their
    // values as they go into a page: the administrator's texts as written
    // (they are HTML), paths and the command line escaped.
    std::vector<std::pair<std::string, std::string>> pageVariables(
        const std::string& hostName) const;

private:
    PluginDefinition() = default;

    void readProperties(const PropertyTable& table);
    void readFields(const PropertyTable& table);
    void checkPage(const std::string& page, const char* message);

    std::string name_;
    std::string runnerName_;
    std::string filePath_;
    std::string directory_;
    bool invisible_ = false;
    std::string menu_;
    std::string menuHelp_;
    int menuOrder_ = 0;
    std::string inputPage_;
    int timeLimit_ = 100;
    int refreshInterval_ = 10;
    int reportInterval_ = 1;
    std::string outputPage_;
    std::string title_;
    std::string explanation_;
    std::string localRole_;
    std::string remoteRole_;
    std::string bookmarkTitle_;
    bool stdoutHtml_ = false;
    bool stderrHtml_ = false;
    bool password_ = false;
    bool parentEnvVars_ = true;
    std::string commandLine_;
    std::vector<ActionField> fields_;
    std::string errorText_;
};

}  // namespace trellon
