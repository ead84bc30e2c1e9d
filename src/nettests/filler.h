// Filler: the payload of test packets (response probes, and later bandwidth
// blocks and stream packets). Every byte is a random upper-case letter, then a
// fixed 32-character marker is copied to ten random places, so a capture of
// the traffic is easy to recognise and no two packets compress alike. The
// header fields a test writes afterwards overwrite whatever falls under them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

namespace trellon {

class Filler {
public:
    static constexpr const char* kMarker = "Trellon network test packet data";  // 32 characters
    static constexpr std::size_t kMarkerLength = 32;
    static constexpr int kMarkerCopies = 10;

    // Uses a per-thread generator seeded once from the system's entropy.
    static void fill(std::uint8_t* buffer, std::size_t size);
    // The same with a caller's generator (tests fix its seed).
    static void fill(std::uint8_t* buffer, std::size_t size, std::minstd_rand& generator);
};

}  // namespace trellon
