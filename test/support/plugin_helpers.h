// Plug-in folders for tests: definition files made from a valid set of
// properties with some changed, added or left out, with their pages and
// scripts beside them.
//
//   PluginProperties p = validPluginProperties();
//   p.set("commandLine", "./echo.sh $host");
//   writePlugin(root + "/echo", "echo", p);      // echo.conf, input.htm, output.htm
//   writeScript(root + "/echo/echo.sh", "echo \"$1\"");
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "support/test_support.h"

namespace trellon::testing {

// Property lines in order; set replaces a key's value or adds the key.
struct PluginProperties {
    std::vector<std::pair<std::string, std::string>> lines;

    PluginProperties& set(const std::string& key, const std::string& value) {
        for (auto& line : lines) {
            if (line.first == key) {
                line.second = value;
                return *this;
            }
        }
        lines.emplace_back(key, value);
        return *this;
    }
    PluginProperties& remove(const std::string& key) {
        for (auto it = lines.begin(); it != lines.end(); ++it) {
            if (it->first == key) {
                lines.erase(it);
                break;
            }
        }
        return *this;
    }
    std::string text() const {
        std::string file = "# written by a test\n";
        for (const auto& [key, value] : lines) file += key + "=" + value + "\n";
        return file;
    }
};

// Every required property, and one required text field "host".
inline PluginProperties validPluginProperties() {
    PluginProperties p;
    p.set("menu", "Test plug-in")
        .set("menuHelp", "A plug-in made by a test.")
        .set("menuOrder", "5")
        .set("inputPage", "input.htm")
        .set("outputPage", "output.htm")
        .set("title", "Test plug-in")
        .set("explanation", "Runs for <b>$host</b>.")
        .set("bookmarkTitle", "Test of $host")
        .set("password", "no")
        .set("commandLine", "/bin/echo $host")
        .set("field.1", "host")
        .set("host.required", "yes")
        .set("host.helpMessage", "the computer to test");
    return p;
}

// A small input page with the usual variables, and an output page with the
// output blocks.
inline const char* kTestInputPage =
    "<html><title>$menuPrompt</title><form action=\"$runPage\">$messages\n"
    "<input name=\"host\" value=\"$host\">\n"
    "<input name=\"count\" value=\"$count\">\n"
    "<input type=\"checkbox\" name=\"loud\" $checked_loud>\n"
    "</form>$explanation limit=$timeLimit cmd=$actualCommandLine</html>\n";
inline const char* kTestOutputPage =
    "<html><head><!-- refresh meta-equiv tag goes here --><title>$title</title></head>\n"
    "<body $onload>[state:$testStateMessage]\n[final:$finalResults]\n"
    "[out:$stdout]\n[err:$stderr]\n[host:$host]\n[dest:$destination]\n[cmd:$commandLine]\n"
    "[run:$runPage]\n</body></html>\n";

// Writes <folder>/<name>.conf and, unless told not to, the two pages the
// valid properties name.
inline std::string writePlugin(const std::string& folder, const std::string& name,
                               const PluginProperties& properties, bool pages = true) {
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/" + name + ".conf";
    writeFile(path, properties.text());
    if (pages) {
        writeFile(folder + "/input.htm", kTestInputPage);
        writeFile(folder + "/output.htm", kTestOutputPage);
    }
    return path;
}

// An executable /bin/sh script.
inline void writeScript(const std::string& path, const std::string& body) {
    writeFile(path, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
}

}  // namespace trellon::testing
