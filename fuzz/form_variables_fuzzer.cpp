// Query decoding: any query string gives variables whose names and values
// were cut to the field limit before decoding (so a decoded one is never
// longer), no "$" name ever comes from a query, and the send-back copy holds
// every variable but the selection marks under its "$" name.
#include "fuzz_check.h"
#include "http/form_variables.h"
#include "http/http_request.h"

using namespace trellon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string query = fuzz::text(data, size);
    FormVariables form;
    form.decodeQuery(query);
    for (const auto& [name, value] : form.all()) {
        FUZZ_CHECK(name.empty() || name[0] != '$');
        FUZZ_CHECK(name.size() <= FormVariables::kMaxFieldBytes);
        FUZZ_CHECK(value.size() <= FormVariables::kMaxFieldBytes);
        FUZZ_CHECK(form.has(name) && form.get(name) == value);
    }
    const std::size_t count = form.all().size();

    FormVariables copy = form;
    copy.copyAsDollarNames();
    std::size_t marks = 0;
    for (const auto& [name, value] : form.all()) {
        if (FormVariables::isSelectionMark(name)) {
            ++marks;
            FUZZ_CHECK(!copy.has("$" + name));
        } else {
            FUZZ_CHECK(copy.get("$" + name) == value);
        }
    }
    FUZZ_CHECK(copy.all().size() == 2 * count - marks);

    const std::string decoded = FormVariables::decodeComponent(query);
    FUZZ_CHECK(decoded.size() <= query.size());
    std::string path = query;
    HttpRequest::percentDecode(path);
    FUZZ_CHECK(path.size() <= query.size());
    return 0;
}
