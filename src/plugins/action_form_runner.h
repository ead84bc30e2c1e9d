// ActionFormRunner ("run_" + the plug-in's name): runs a plug-in's command
// for a submitted input form.
//
// execute checks every field (a failure shows the input page again with the
// messages in red, and nothing is started), takes a running-test slot (the
// plug-ins share the agent's cap on running tests with the built-in ones),
// makes the run's record, builds the environment block and the command, and
// starts an ActionThread. The answer (a redirect to the results page, or the
// XML result's address for `format` "xml") is sent once the command has
// started, or at most kStartWaitMs later; with `refresh` off, once the
// command has ended. Meanwhile the request gives its request thread back:
// it parks, and the connection loop finishes it.
//
// The command line is split into arguments before anything is substituted,
// and each form value goes into the argument that names it, whatever it
// holds: no value can add an argument or a command, since no shell is ever
// asked to read the line. The time limit, report and refresh intervals a form
// may give are bounded by the definition's.
//
// One object serves every request thread; a run's data lives in execute.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "http/http_command.h"
#include "plugins/plugin_definition.h"

namespace trellon {

class ActionFormRunner : public HttpCommand {
public:
    // The check of isTrellonComputer fields; by default the remote agent is asked.
    explicit ActionFormRunner(std::shared_ptr<PluginDefinition> definition,
                              PluginDefinition::AgentCheck agentCheck = {});

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override;
    // It starts a process, and may ask another agent first.
    bool mayWaitOnTheNetwork() const override { return true; }

    const std::shared_ptr<PluginDefinition>& definition() const { return definition_; }

    // How long the answer waits for the command to start.
    static constexpr int kStartWaitMs = 10000;
    // With `refresh` off: how long past the time limit it waits for the end.
    static constexpr int kWaitBeyondTimeLimitSeconds = 10;

    // One run's environment, in the order the entries were given; a name
    // given again keeps its place and takes the new value, so neither the
    // agent's own environment nor a field can stand in for a TRELLON_ variable.
    class Environment {
    public:
        void set(const std::string& name, const std::string& value);
        void add(const std::string& entry);  // "name=value"
        const std::vector<std::string>& entries() const { return entries_; }
        std::string get(const std::string& name) const;

    private:
        std::vector<std::string> entries_;
    };

    // text with every "$" + name of a form variable (two characters or
    // more) replaced by its value, in one pass: an inserted value is never
    // read again. For HTML the values go in as text.
    static std::string substitute(const std::string& text, const FormVariables& form, bool forHtml);
    // The command line split into its arguments first, then each argument
    // substituted on its own.
    static std::vector<std::string> commandArguments(const std::string& commandLine,
                                                     const FormVariables& form);
    // "<p>...</p>" while the agent runs as many tests as it may.
    static std::string busyMessage();

private:
    void sendBack(HttpRequest& request, FormVariables& form, ResponseBuffer& out,
                  const std::string& format, const std::string& messages) const;
    void answer(HttpRequest& request, int testId, const std::string& format,
                ResponseBuffer& out) const;

    std::shared_ptr<PluginDefinition> definition_;
    PluginDefinition::AgentCheck agentCheck_;
};

}  // namespace trellon
