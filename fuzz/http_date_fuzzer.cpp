// The If-Modified-Since date parser: any text gives -1 or a real moment of
// the years 1901 to 9999, and an accepted moment formats to a date that
// reads back as the same moment. The formatter takes any number of seconds.
#include <cstring>

#include "fuzz_check.h"
#include "http/http_format.h"

using namespace trellon;

namespace {

// 1 January 1901 and 31 December 9999, 23:59:60.
constexpr std::int64_t kEarliest = -2177452800LL;
constexpr std::int64_t kLatest = 253402300800LL;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = fuzz::text(data, size);
    const std::int64_t moment = parseHttpDate(input);
    if (moment != -1) {
        FUZZ_CHECK(moment >= kEarliest && moment <= kLatest);
        FUZZ_CHECK(parseHttpDate(formatHttpTime(moment)) == moment);
    }
    if (size >= sizeof(std::int64_t)) {
        std::int64_t seconds;
        std::memcpy(&seconds, data, sizeof(seconds));
        const std::string formatted = formatHttpTime(seconds);
        FUZZ_CHECK(!formatted.empty() && formatted.size() < 80);
        if (seconds >= kEarliest && seconds < kLatest)
            FUZZ_CHECK(parseHttpDate(formatted) == seconds);
    }
    return 0;
}
