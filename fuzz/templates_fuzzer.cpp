// Template replacement: a page, a query and a substitution table from the
// input (page NUL query NUL table). Every replacement changes the page's
// length by exactly what it puts in for what it takes out, a value holding
// its own key ends the search, and the escaped mode's values cannot open a
// tag in the page.
#include "fuzz_check.h"
#include "http/form_variables.h"
#include "http/property_table.h"
#include "http/templates.h"

using namespace trellon;

namespace {

std::size_t count(const std::string& text, char c) {
    std::size_t n = 0;
    for (char d : text) n += d == c ? 1 : 0;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto [page, rest] = fuzz::splitAtNul(fuzz::text(data, size));
    const auto [query, table] = fuzz::splitAtNul(rest);

    FormVariables form;
    form.decodeQuery(query);

    // Each variable on its own: the key "$" + name, its raw value.
    for (const auto& [name, value] : form.all()) {
        ResponseBuffer buffer;
        buffer.append(page);
        const std::string key = "$" + name;
        const int replaced = replaceKey(buffer, key, value);
        FUZZ_CHECK(replaced >= 0);
        const long long expected =
            static_cast<long long>(page.size()) +
            replaced * (static_cast<long long>(value.size()) - static_cast<long long>(key.size()));
        FUZZ_CHECK(static_cast<long long>(buffer.size()) == expected);
        // Nothing to replace means nothing replaced.
        if (page.find(key) == std::string::npos) FUZZ_CHECK(replaced == 0);
    }

    // The send-back: escaped "$" names put no markup into the page.
    FormVariables sentBack = form;
    sentBack.copyAsDollarNames();
    ResponseBuffer escaped;
    escaped.append(page);
    applyFormVariables(escaped, sentBack, true);
    FUZZ_CHECK(count(escaped.str(), '<') <= count(page, '<'));
    FUZZ_CHECK(count(escaped.str(), '"') <= count(page, '"'));

    ResponseBuffer plain;
    plain.append(page);
    applyFormVariables(plain, form, false);

    const PropertyTable substitutions = PropertyTable::fromText(table, "substitute.conf");
    ResponseBuffer substituted;
    substituted.append(page);
    applySubstitutions(substituted, substitutions);

    ResponseBuffer message;
    message.append(page);
    putMessage(message, query);
    return 0;
}
