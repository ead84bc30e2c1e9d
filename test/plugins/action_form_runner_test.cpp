// The runner's own pieces: form values substituted inside the arguments the
// command line was split into (never into the line), one pass only, and the
// environment block in which a later entry takes an earlier one's place.
#include "plugins/action_form_runner.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace trellon {
namespace {

FormVariables formWith(std::initializer_list<std::pair<const char*, std::string>> values) {
    FormVariables form;
    for (const auto& [name, value] : values) form.set(name, value);
    return form;
}

TEST(ActionFormRunnerTest, EachFormValueStaysInsideTheArgumentThatNamesIt) {
    const std::string hostile[] = {"x; touch /tmp/pwned",
                                   "$(touch /tmp/pwned)",
                                   "a b",
                                   "\"",
                                   "line\nbreak",
                                   "`id` | cat && rm -rf /",
                                   "-rf",
                                   "",
                                   "'single'",
                                   "\\\" \\\\"};
    for (const std::string& value : hostile) {
        FormVariables form = formWith({{"host", value}, {"count", "3"}});
        EXPECT_EQ(ActionFormRunner::commandArguments("ping -c $count -- $host", form),
                  (std::vector<std::string>{"ping", "-c", "3", "--", value}))
            << value;
        EXPECT_EQ(ActionFormRunner::commandArguments("probe \"--target=$host here\"", form),
                  (std::vector<std::string>{"probe", "--target=" + value + " here"}))
            << value;
    }
}

TEST(ActionFormRunnerTest, SubstitutionIsOnePassOverWholeNames) {
    FormVariables form =
        formWith({{"host", "$count"}, {"count", "3"}, {"h", "one letter"}, {"hostname", "long"}});
    // An inserted value is never read again; a name only matches whole;
    // one-letter names are never variables; unknown ones stay as written.
    EXPECT_EQ(
        ActionFormRunner::substitute("$host $count $hostname $hosts $h $ $unknown", form, false),
        "$count 3 long $hosts $h $ $unknown");
    // For a page the values go in as text.
    FormVariables page = formWith({{"host", "<script>$x</script>"}});
    EXPECT_EQ(ActionFormRunner::substitute("<b>$host</b>", page, true),
              "<b>&lt;script&gt;&#36;x&lt;/script&gt;</b>");
}

TEST(ActionFormRunnerTest, EnvironmentKeepsOrderAndLaterEntriesWin) {
    ActionFormRunner::Environment environment;
    environment.add("PATH=/bin");
    environment.add("TRELLON_TITLE=from the agent's own environment");
    environment.add("=nameless");
    environment.add("no equals sign");
    environment.set("FIELD", "a=b");
    environment.set("TRELLON_TITLE", "the plug-in's");
    EXPECT_EQ(environment.entries(),
              (std::vector<std::string>{"PATH=/bin", "TRELLON_TITLE=the plug-in's", "FIELD=a=b"}));
    EXPECT_EQ(environment.get("FIELD"), "a=b");
    EXPECT_EQ(environment.get("MISSING"), "");
}

}  // namespace
}  // namespace trellon
