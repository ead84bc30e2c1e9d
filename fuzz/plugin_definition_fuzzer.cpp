// Plug-in definitions as an administrator (or whoever can write the plug-ins
// folder) may write them: the input is the definition file, then after a NUL
// a query whose values are checked against its fields. Building never
// throws; a valid definition has no more fields than allowed, field and
// variable names of letters, digits and underscores, and its pages in its
// own folder; checking any submitted values gives text.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "fuzz_check.h"
#include "http/form_variables.h"
#include "plugins/plugin_definition.h"

using namespace trellon;

namespace {

// A plug-ins folder with one plug-in "probe" whose pages exist.
const std::string& pluginFolder() {
    static const std::string folder = [] {
        const std::string plugin = fuzz::scratchFolder() + "/probe/";
        ::mkdir(plugin.c_str(), 0700);
        std::ofstream(plugin + "input.html") << "<html>$title</html>\n";
        std::ofstream(plugin + "output.html") << "<html>$results</html>\n";
        std::atexit([] {
            for (const char* file : {"input.html", "output.html", "probe.conf"})
                ::unlink((fuzz::scratchFolder() + "/probe/" + file).c_str());
            ::rmdir((fuzz::scratchFolder() + "/probe").c_str());
            ::rmdir(fuzz::scratchFolder().c_str());
        });
        return plugin;
    }();
    return folder;
}

bool isNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto [definitionText, query] = fuzz::splitAtNul(fuzz::text(data, size));
    const std::string file = pluginFolder() + "probe.conf";
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(definitionText.data(), static_cast<std::streamsize>(definitionText.size()));
    }
    const std::shared_ptr<PluginDefinition> definition = PluginDefinition::build(file, "probe");
    FUZZ_CHECK(definition != nullptr);
    FUZZ_CHECK(definition->pluginName() == "probe");
    if (!definition->valid()) return 0;

    FUZZ_CHECK(definition->fields().size() <=
               static_cast<std::size_t>(PluginDefinition::kMaxFields));
    FUZZ_CHECK(definition->directory() == pluginFolder());
    FUZZ_CHECK(!definition->inputPage().empty() && !definition->outputPage().empty());
    FUZZ_CHECK(definition->timeLimit() >= 0 && definition->refreshInterval() >= 0 &&
               definition->reportInterval() >= 0);
    for (const ActionField& field : definition->fields()) {
        FUZZ_CHECK(!field.name.empty());
        for (char c : field.name) FUZZ_CHECK(isNameCharacter(c));
        FUZZ_CHECK(field.type >= ActionField::kString && field.type <= ActionField::kFloat);
        for (char c : field.environmentVariable) FUZZ_CHECK(isNameCharacter(c));
        if (!field.environmentVariable.empty())
            FUZZ_CHECK(field.environmentVariable[0] < '0' || field.environmentVariable[0] > '9');
    }

    FormVariables form;
    form.decodeQuery(query);
    const auto anyComputer = [](const std::string& computer) {
        return computer.empty() ? std::string("no computer") : std::string();
    };
    definition->checkValues(form, anyComputer);
    for (const ActionField& field : definition->fields()) {
        definition->checkValue(field, form.get(field.name), anyComputer);
    }
    const auto variables = definition->pageVariables("fuzz.example");
    for (const auto& [name, value] : variables) FUZZ_CHECK(!name.empty() && name[0] == '$');
    return 0;
}
