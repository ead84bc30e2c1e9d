// Plug-in definitions: every property with its default and check, the field
// definitions, malformed and hostile files, and the checks of submitted values.
#include "plugins/plugin_definition.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <string>

#include "support/plugin_helpers.h"
#include "support/test_support.h"

namespace trellon::testing {
namespace {

class PluginDefinitionTest : public ::testing::Test {
protected:
    std::string folder() const { return root_.path() + "/plugins/test"; }

    std::shared_ptr<PluginDefinition> build(const PluginProperties& properties, bool pages = true) {
        return PluginDefinition::build(writePlugin(folder(), "test", properties, pages), "test");
    }
    std::string errors(const PluginProperties& properties) {
        return build(properties)->errorText();
    }

    TempDir root_;
};

TEST_F(PluginDefinitionTest, ValidDefinitionKeepsItsPropertiesDefaultsAndFields) {
    PluginProperties p = validPluginProperties();
    p.set("localRole", "sender")
        .set("stdoutHtml", "yes")
        .set("parentEnvVars", "no")
        .set("field.2", "count")
        .set("count.type", "integer")
        .set("count.defaultValue", "4")
        .set("count.min", "1")
        .set("count.max", "50")
        .set("count.environmentVariable", "COUNT")
        .set("field.3", "loud")
        .set("loud.type", "boolean")
        .set("loud.formField", "checkbox")
        .set("loud.isChecked", "YES")
        .set("host.isDestination", "true")
        // Ends the list: field.5 is never read.
        .set("field.5", "ignored");
    auto definition = build(p);
    ASSERT_TRUE(definition->valid()) << definition->errorText();
    EXPECT_EQ(definition->pluginName(), "test");
    EXPECT_EQ(definition->runnerName(), "run_test");
    EXPECT_EQ(definition->directory(), folder() + "/");
    EXPECT_EQ(definition->inputPagePath(), folder() + "/input.htm");
    EXPECT_EQ(definition->menu(), "Test plug-in");
    EXPECT_EQ(definition->menuOrder(), 5);
    EXPECT_FALSE(definition->invisible());
    EXPECT_EQ(definition->timeLimit(), 100);
    EXPECT_EQ(definition->refreshInterval(), 10);
    EXPECT_EQ(definition->reportInterval(), 1);
    EXPECT_EQ(definition->localRole(), "sender");
    EXPECT_EQ(definition->remoteRole(), "");
    EXPECT_TRUE(definition->stdoutHtml());
    EXPECT_FALSE(definition->stderrHtml());
    EXPECT_FALSE(definition->password());
    EXPECT_FALSE(definition->parentEnvVars());

    ASSERT_EQ(definition->fields().size(), 3u);
    const ActionField& host = definition->fields()[0];
    EXPECT_EQ(host.name, "host");
    EXPECT_EQ(host.type, ActionField::kString);
    EXPECT_EQ(host.formField, ActionField::kText);
    EXPECT_TRUE(host.required);
    EXPECT_TRUE(host.isDestination);
    EXPECT_EQ(host.helpMessage, "the computer to test");
    const ActionField& count = definition->fields()[1];
    EXPECT_EQ(count.type, ActionField::kInteger);
    EXPECT_EQ(count.minInteger, 1);
    EXPECT_EQ(count.maxInteger, 50);
    EXPECT_EQ(count.environmentVariable, "COUNT");
    EXPECT_FALSE(count.required);
    const ActionField& loud = definition->fields()[2];
    EXPECT_EQ(loud.type, ActionField::kBoolean);
    EXPECT_EQ(loud.formField, ActionField::kCheckbox);
    EXPECT_TRUE(loud.isChecked);

    const auto variables = definition->pageVariables("my<host>");
    ASSERT_EQ(variables.size(), 16u);
    EXPECT_EQ(variables[0],
              std::make_pair(std::string("$localComputer"), std::string("my&lt;host&gt;")));
    EXPECT_EQ(variables[1].second, "run_test");
    EXPECT_EQ(variables.back(), std::make_pair(std::string("$actualCommandLine"),
                                               std::string("/bin/echo &#36;host")));
}

TEST_F(PluginDefinitionTest, MissingRequiredPropertyNamesItAndWhatItDoes) {
    const std::pair<const char*, const char*> required[] = {
        {"password", "Is there an HTTP password on this?"},
        {"menu", "Short prompt user sees on first page."},
        {"menuHelp", "Longer help message user sees on first page."},
        {"menuOrder", "Number used to sort all plugins for benefit of first page menu."},
        {"title", "Title string for results page."},
        {"explanation", "Explanation string for results page."},
        {"bookmarkTitle", "Title used in bookmarks."},
        {"inputPage",
         "HTML file used to collect input from user and to tell them what will happen."},
    };
    for (const auto& [name, help] : required) {
        PluginProperties p = validPluginProperties();
        p.remove(name);
        const std::string text = errors(p);
        EXPECT_NE(text.find(std::string("Missing property ") + name + " What it does: " + help),
                  std::string::npos)
            << name << ": " << text;
    }
    PluginProperties noCommand = validPluginProperties();
    noCommand.remove("commandLine");
    const std::string text = errors(noCommand);
    EXPECT_NE(text.find("Missing property commandLine What it does: Command to run."),
              std::string::npos);
    EXPECT_NE(text.find("Missing the \"commandLine\" property.\n"), std::string::npos);
    // Optional properties may be left out.
    PluginProperties optional = validPluginProperties();
    for (const char* name :
         {"invisible", "timeLimit", "refreshInterval", "reportInterval", "localRole", "remoteRole",
          "stdoutHtml", "stderrHtml", "parentEnvVars"})
        optional.remove(name);
    EXPECT_EQ(errors(optional), "");
}

TEST_F(PluginDefinitionTest, NumbersOutsideTheirBoundsOrNotNumbersAreRejected) {
    struct Case {
        const char* key;
        const char* value;
        const char* message;
    };
    const Case cases[] = {
        {"timeLimit", "200",
         "The default value \"200\" for field \"timeLimit\" is greater than the max value.\n"},
        {"timeLimit", "-5",
         "The value \"-5\" for field \"timeLimit\" is not a valid integer number.\n"},
        {"timeLimit", "99999999999",
         "The value \"99999999999\" for field \"timeLimit\" is not a valid integer number.\n"},
        {"timeLimit", "1e3",
         "The value \"1e3\" for field \"timeLimit\" is not a valid integer number.\n"},
        {"menuOrder", "101",
         "The default value \"101\" for field \"menuOrder\" is greater than the max value.\n"},
        {"refreshInterval", "0",
         "The default value \"0\" for field \"refreshInterval\" is lower than the min value.\n"},
        {"refreshInterval", "61",
         "The default value \"61\" for field \"refreshInterval\" is greater than the max value.\n"},
        {"reportInterval", "2 ",
         "The value \"2 \" for field \"reportInterval\" is not a valid integer number.\n"},
    };
    for (const Case& c : cases) {
        PluginProperties p = validPluginProperties();
        p.set(c.key, c.value);
        EXPECT_EQ(errors(p), c.message) << c.key << "=" << c.value;
    }
    PluginProperties bounds = validPluginProperties();
    bounds.set("timeLimit", "180").set("menuOrder", "0").set("refreshInterval", "60");
    auto definition = build(bounds);
    EXPECT_TRUE(definition->valid()) << definition->errorText();
    EXPECT_EQ(definition->timeLimit(), 180);
}

TEST_F(PluginDefinitionTest, BooleansAreYesTrueBlankOrNo) {
    struct Case {
        const char* key;
        const char* value;
        const char* message;  // "" when accepted
        bool invisible;
    };
    const Case cases[] = {
        {"invisible", "false",
         "The \"invisible\" property can only be blank or missing, or equal to \"yes\" or "
         "\"no\".\n",
         false},
        {"invisible", "no", "", false},
        {"invisible", "yes", "", true},
        {"invisible", "true", "", true},
        {"invisible", " ", "", true},
        {"invisible", "YES",
         "The \"invisible\" property can only be blank or missing, or equal to \"yes\" or "
         "\"no\".\n",
         false},
        {"parentEnvVars", "maybe",
         "The \"setParentEnvVars\" property can only be blank or missing, or equal to \"yes\" or "
         "\"no\".\n",
         false},
        {"stdoutHtml", "1",
         "The \"stdoutHtml\" property can only be blank or missing, or equal to \"yes\" or "
         "\"no\".\n",
         false},
        {"password", "secret",
         "The \"password\" property can only be blank or missing, or equal to \"yes\" or "
         "\"no\".\n",
         false},
    };
    for (const Case& c : cases) {
        PluginProperties p = validPluginProperties();
        p.set(c.key, c.value);
        auto definition = build(p);
        EXPECT_EQ(definition->errorText(), c.message) << c.key << "=" << c.value;
        if (std::string(c.key) == "invisible" && definition->valid()) {
            EXPECT_EQ(definition->invisible(), c.invisible) << c.value;
        }
    }
}

TEST_F(PluginDefinitionTest, PagesMustBeRegularFilesBelowThePluginsFolder) {
    {
        auto definition = build(validPluginProperties(), false);
        EXPECT_EQ(definition->errorText(),
                  "Failed to open the input HTML file named " + folder() + "/input.htm\n" +
                      "Failed to open the output HTML file named " + folder() + "/output.htm\n");
    }
    writeFile(root_.path() + "/secret.htm", "not for the web");
    std::filesystem::create_directories(folder() + "/adir");
    struct Case {
        const char* page;
        bool accepted;
    };
    const Case cases[] = {
        {"../../secret.htm", false},   // outside htdocs/plugins
        {"adir", false},               // a folder
        {"../test/output.htm", true},  // another way to a file that is inside
        {"missing.htm", false},
    };
    for (const Case& c : cases) {
        PluginProperties p = validPluginProperties();
        p.set("outputPage", c.page);
        const std::string text = errors(p);
        const std::string expected = c.accepted ? ""
                                                : "Failed to open the output HTML file named " +
                                                      folder() + "/" + c.page + "\n";
        EXPECT_EQ(text, expected) << c.page;
    }
    // A link out of the folder is followed to where it points.
    std::filesystem::create_symlink(root_.path() + "/secret.htm", folder() + "/link.htm");
    PluginProperties p = validPluginProperties();
    p.set("inputPage", "link.htm");
    EXPECT_NE(errors(p).find("Failed to open the input HTML file named"), std::string::npos);
}

TEST_F(PluginDefinitionTest, FieldDefinitionErrorsAreEachReported) {
    struct Case {
        std::vector<std::pair<const char*, const char*>> attributes;
        const char* message;
    };
    const Case cases[] = {
        {{{"host.type", "text"}},
         "Unknown type string for field host. Found text but was expecting one of string, "
         "integer, boolean, float\n"},
        {{{"host.formField", "radio"}},
         "Unknown form field type for  field host.  Found radio but was expecting one of text, "
         "checkbox, radio, or nothing (default is text)\n"},
        {{{"host.required", "maybe"}},
         "The value for \"required\" for field host must be one of true, yes, false, no, or "
         "blank.\n"},
        {{{"host.isTrellonComputer", "1"}},
         "The value for \"isTrellonComputer\" for field host must be one of true, yes, false, "
         "no, or blank.\n"},
        {{{"host.type", "integer"}, {"host.defaultValue", "x"}},
         "The value \"x\" for field \"host\" is not a valid integer number.\n"},
        {{{"host.type", "integer"}, {"host.defaultValue", "5"}, {"host.min", "-1"}},
         "The min value \"-1\" for field \"host\" is not a valid integer number.\n"},
        {{{"host.type", "integer"}, {"host.defaultValue", "5"}, {"host.min", "6"}},
         "The default value \"5\" for field \"host\" is lower than the min value.\n"},
        {{{"host.type", "integer"}, {"host.defaultValue", "5"}, {"host.max", "4"}},
         "The default value \"5\" for field \"host\" is greater than the max value.\n"},
        {{{"host.type", "float"}, {"host.defaultValue", "1.2.3"}},
         "The value \"1.2.3\" for field \"host\" is not a valid float number. Try something in "
         "the form of 99 or 99. or 99.99 etc.\n"},
        {{{"host.type", "float"}, {"host.defaultValue", "-0.5"}, {"host.min", "x"}},
         "The min value \"x\" for field \"host\" is not a valid floating point number.\n"},
        {{{"host.type", "float"}, {"host.defaultValue", "+2.5"}, {"host.max", "2."}},
         "The default value \"+2.5\" for field \"host\" is greater than the max value.\n"},
        {{{"host.environmentVariable", "BAD=NAME"}},
         "The environment variable name \"BAD=NAME\" for field host can only hold letters, "
         "digits and underscores, and cannot begin with a digit.\n"},
        {{{"field.2", "a b"}},
         "The field name \"a b\" can only hold letters, digits and underscores.\n"},
        {{{"field.2", "$x"}},
         "The field name \"$x\" can only hold letters, digits and underscores.\n"},
    };
    for (const Case& c : cases) {
        PluginProperties p = validPluginProperties();
        std::string what;
        for (const auto& [key, value] : c.attributes) {
            p.set(key, value);
            what += std::string(key) + "=" + value + " ";
        }
        EXPECT_EQ(errors(p), c.message) << what;
    }
    PluginProperties good = validPluginProperties();
    good.set("host.type", "float").set("host.defaultValue", "99.").set("host.min", "-1.5");
    EXPECT_EQ(errors(good), "");
}

TEST_F(PluginDefinitionTest, MalformedAndHostileFilesGiveErrorsNeverACrashOrAHang) {
    // A line with a key only (line 3 of the file, after the comment) is a
    // reader error, and the reader's errors are the whole answer.
    std::filesystem::create_directories(folder());
    writeFile(folder() + "/broken.conf", "# comment\nmenu=x\nlonely\n");
    auto broken = PluginDefinition::build(folder() + "/broken.conf", "broken");
    EXPECT_EQ(broken->errorText(), "Error in file " + folder() +
                                       "/broken.conf, at line 3.  Missing the '=' or the ':' "
                                       "after the property name\n");

    auto missing = PluginDefinition::build(folder() + "/none.conf", "none");
    EXPECT_EQ(missing->errorText(), "Could not open property file " + folder() + "/none.conf\n");

    // A FIFO would block an open for ever, with the server half built.
    const std::string fifo = folder() + "/fifo.conf";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(PluginDefinition::build(fifo, "fifo")->valid());
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));

    std::string garbage;
    for (int i = 0; i < 20000; ++i) garbage += static_cast<char>((i * 7919) % 256);
    writeFile(folder() + "/garbage.conf", garbage);
    EXPECT_FALSE(PluginDefinition::build(folder() + "/garbage.conf", "garbage")->valid());

    PluginProperties many = validPluginProperties();
    for (int n = 2; n <= PluginDefinition::kMaxFields + 1; ++n)
        many.set("field." + std::to_string(n), "f" + std::to_string(n));
    EXPECT_EQ(errors(many), "More than 100 fields; a definition may have at most that many.\n");
}

TEST(PluginNameTest, NamesArePathAndMarkupSafe) {
    for (const char* good : {"ping", "trace-route", "dns_lookup", "v1.2"})
        EXPECT_TRUE(PluginDefinition::isValidName(good)) << good;
    for (const char* bad :
         {"", ".hidden", "a b", "x\"y", "<b>", "semi;colon", "dollar$", "slash/x", "percent%20"})
        EXPECT_FALSE(PluginDefinition::isValidName(bad)) << bad;
    EXPECT_FALSE(PluginDefinition::isValidName(std::string(65, 'a')));
}

class SubmittedValueTest : public PluginDefinitionTest {
protected:
    void SetUp() override {
        PluginProperties p = validPluginProperties();
        p.set("host.isDestination", "yes")
            .set("field.2", "count")
            .set("count.type", "integer")
            .set("count.min", "1")
            .set("count.max", "50")
            .set("field.3", "ratio")
            .set("ratio.type", "float")
            .set("ratio.min", "0.5")
            .set("ratio.max", "2")
            .set("field.4", "loud")
            .set("loud.type", "boolean")
            .set("field.5", "peer")
            .set("peer.isTrellonComputer", "yes");
        definition_ = build(p);
        ASSERT_TRUE(definition_->valid()) << definition_->errorText();
    }
    std::string check(int index, const std::string& value) {
        return definition_->checkValue(definition_->fields()[index], value,
                                       [this](const std::string& computer) {
                                           asked_ = computer;
                                           return computer == "agent" ? "" : "not an agent\n";
                                       });
    }
    std::shared_ptr<PluginDefinition> definition_;
    std::string asked_;
};

TEST_F(SubmittedValueTest, EachTypeIsCheckedAndTheMessagesNameTheField) {
    struct Case {
        int field;
        std::string value;
        std::string message;
    };
    const Case cases[] = {
        {0, "", "Please supply a value for the  host field\n(the computer to test)\n"},
        {0, "10.0.0.1", ""},
        {0, "server-1.example.net", ""},
        {0, "-f", "The value for the host field must be a computer name or address.\n"},
        {0, "a b", "The value for the host field must be a computer name or address.\n"},
        {0, "x;touch", "The value for the host field must be a computer name or address.\n"},
        {1, "", ""},  // optional: nothing to check
        {1, "7", ""},
        {1, "-3", "Please enter an integer number for the count field.\n"},
        {1, "0", "The value for \"count\" must be greater than or equal to 1.\n"},
        {1, "51", "The value for \"count\" must be less than or equal to 50.\n"},
        {1, "99999999999999999999999",
         "The value for \"count\" must be less than or equal to 50.\n"},
        {2, "1.5", ""},
        {2, "abc", "Please enter an integer number for the ratio field.\n"},
        {2, "0.25", "The value for \"ratio\" must be greater than or equal to 0.5.\n"},
        {2, "+3", "The value for \"ratio\" must be less than or equal to 2.\n"},
        {3, "ON", ""},
        {3, "false", ""},
        {3, "maybe", "Field loud should be one of \"true\", \"on\", \"false\", or \"off\"\n"},
        {4, "agent", ""},
        {4, "other", "not an agent\n"},
        {4, "-x", "The value for the peer field must be a computer name or address.\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(check(c.field, c.value), c.message) << c.value;

    FormVariables form;
    form.set("count", "0");
    form.set("peer", "agent");
    EXPECT_EQ(definition_->checkValues(form, {}),
              "Please supply a value for the  host field\n(the computer to test)\n"
              "The value for \"count\" must be greater than or equal to 1.\n");
}

}  // namespace
}  // namespace trellon::testing
