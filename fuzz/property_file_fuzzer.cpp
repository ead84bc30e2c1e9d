// Property files (substitute.conf, plug-in definitions): any text gives a
// table whose keys are unique, in file order, free of blanks, '=' and ':'
// (a line starting with the separator has the empty key, which no page
// variable can match),
// with values no longer than a line may be; reading the same bytes from a
// file gives the same table.
#include <unistd.h>

#include <fstream>

#include "fuzz_check.h"
#include "http/property_table.h"

using namespace trellon;

namespace {

const std::string& scratchFile() {
    static const std::string path = [] {
        std::string file = fuzz::scratchFolder() + "/property.conf";
        static const std::string removed = file;
        std::atexit([] {
            ::unlink(removed.c_str());
            ::rmdir(fuzz::scratchFolder().c_str());
        });
        return file;
    }();
    return path;
}

bool isWhite(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text = fuzz::text(data, size);
    const PropertyTable table = PropertyTable::fromText(text, "fuzz.conf");
    for (std::size_t i = 0; i < table.keys().size(); ++i) {
        const std::string& key = table.keys()[i];
        FUZZ_CHECK(table.has(key));
        FUZZ_CHECK(table.get(key).size() < 999);
        for (char c : key) FUZZ_CHECK(!isWhite(c) && c != '=' && c != ':');
        for (std::size_t k = 0; k < i; ++k) FUZZ_CHECK(table.keys()[k] != key);
    }

    {
        std::ofstream out(scratchFile(), std::ios::binary | std::ios::trunc);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
    }
    const PropertyTable fromFile = PropertyTable::read(scratchFile());
    FUZZ_CHECK(fromFile.keys() == table.keys());
    for (const std::string& key : table.keys()) FUZZ_CHECK(fromFile.get(key) == table.get(key));
    return 0;
}
