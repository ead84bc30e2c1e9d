// Base64 as the Authorization header uses it: decoding any text neither
// reads nor writes out of bounds and gives at most three bytes for every
// four characters; any bytes encode to text that decodes to them again.
#include "fuzz_check.h"
#include "http/http_request.h"
#include "http/templates.h"

using namespace trellon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = fuzz::text(data, size);
    const std::string decoded = base64Decode(input);
    FUZZ_CHECK(decoded.size() <= (input.size() / 4) * 3);

    const std::string encoded = base64Encode(input);
    FUZZ_CHECK(encoded.size() == (input.size() + 2) / 3 * 4);
    FUZZ_CHECK(base64Decode(encoded) == input);

    // The log-in check takes what the header decoded to, whatever it is.
    const auto [name, password] = fuzz::splitAtNul(input);
    // A name without a colon and both no longer than the 1000 bytes compared match.
    if (!name.empty() && name.find(':') == std::string::npos && name.size() <= 1000 &&
        password.size() <= 1000)
        FUZZ_CHECK(HttpRequest::credentialsMatch(name + ":" + password, name, password));
    HttpRequest::credentialsMatch(decoded, name, password);
    return 0;
}
