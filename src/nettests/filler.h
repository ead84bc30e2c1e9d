// Filler: the payload of test traffic (response probes, bandwidth blocks and
// stream packets). Every byte is a random upper-case letter, then a fixed
// 32-character marker is copied to ten random places, so a capture of the
// traffic is easy to recognise and no two blocks compress alike. The header
// fields a test writes afterwards overwrite whatever falls under them.
//
// The bandwidth test makes a fresh block for every send, so the letters must
// cost little next to the send itself (on loopback a send of 8 KiB takes a few
// microseconds). FillerGenerator therefore draws 64 random bits at a time from
// eight independent xorshift64 lanes and turns each draw into eight letters
// at once: byte b becomes 'A' + (b * 26 >> 8), worked on all bytes of a word
// (or of a vector register) together. The eight lanes keep the processor's
// vector units busy; the SSE2 and AVX2 kernels compute exactly what the
// portable one does, so a generator gives the same letters wherever it runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

namespace trellon {

class FillerGenerator {
public:
    static constexpr int kLanes = 8;
    // Bytes one round of the lanes makes.
    static constexpr std::size_t kRoundBytes = kLanes * 8;

    enum class Kernel { portable, sse2, avx2 };

    explicit FillerGenerator(std::uint64_t seed);

    // Letters and markers, as Filler::fill describes.
    void fill(std::uint8_t* buffer, std::size_t size);
    // Letters only, with the given kernel (tests compare the kernels; a
    // kernel this processor lacks falls back to the portable one).
    void fillLetters(std::uint8_t* buffer, std::size_t size, Kernel kernel);
    // The fastest kernel this processor runs.
    static Kernel fastestKernel();

    // One draw for the marker offsets (splitmix64).
    std::uint64_t next();

private:
    std::uint64_t lanes_[kLanes];
    std::uint64_t offsets_;
};

class Filler {
public:
    static constexpr const char* kMarker = "Trellon network test packet data";  // 32 characters
    static constexpr std::size_t kMarkerLength = 32;
    static constexpr int kMarkerCopies = 10;

    // Uses a per-thread generator seeded once from the system's entropy.
    static void fill(std::uint8_t* buffer, std::size_t size);
    // The same with a generator seeded from the caller's (tests fix its seed).
    static void fill(std::uint8_t* buffer, std::size_t size, std::minstd_rand& generator);
};

}  // namespace trellon
