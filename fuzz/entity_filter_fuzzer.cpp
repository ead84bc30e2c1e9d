// The entity filter's translation of any block: the output is exactly what
// the byte-by-byte rule gives (an entity for the characters that have one,
// nothing for CR, CR LF for LF, the byte itself otherwise), and the fixed
// eight-byte copies stay inside an output block of eight bytes per input
// byte, the room the program gives them.
#include <memory>
#include <string>

#include "entity_filter.h"
#include "fuzz_check.h"

using namespace trellon::entityfilter;

namespace {

std::string expected(const std::uint8_t* data, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char byte = data[i];
        bool done = false;
        for (const EntityPair& pair : kEntityPairs) {
            if (pair.code == byte) {
                out += pair.text;
                done = true;
                break;
            }
        }
        if (done) continue;
        if (byte == '\r') continue;
        if (byte == '\n') {
            out += "\r\n";
            continue;
        }
        out += static_cast<char>(byte);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const EntityTable entities;
    static const EntityFilter filter(entities);
    // Exactly the room promised, on the heap, so a write past it is caught.
    const std::size_t room = size * kMaxEntityLength;
    std::unique_ptr<char[]> out(new char[room == 0 ? 1 : room]);
    const std::size_t produced = filter.filter(data, size, out.get());
    FUZZ_CHECK(produced <= room);
    FUZZ_CHECK(std::string(out.get(), produced) == expected(data, size));
    return 0;
}
