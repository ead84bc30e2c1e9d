#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "nettests/filler.h"

namespace trellon {
namespace {

using Kernel = FillerGenerator::Kernel;

std::vector<std::uint8_t> letters(std::uint64_t seed, std::size_t size, Kernel kernel) {
    FillerGenerator generator(seed);
    std::vector<std::uint8_t> bytes(size + 8, 0);
    generator.fillLetters(bytes.data(), size, kernel);
    // A second call continues the same lanes.
    generator.fillLetters(bytes.data() + size / 2, size - size / 2, kernel);
    return bytes;
}

TEST(FillerGeneratorTest, EveryKernelMakesTheSameLettersAndNoMore) {
    // Sizes around the 64-byte round, and a bandwidth block.
    for (std::size_t size : {0, 1, 63, 64, 65, 1000, 8192}) {
        auto portable = letters(42, size, Kernel::portable);
        for (Kernel kernel : {Kernel::sse2, Kernel::avx2, FillerGenerator::fastestKernel()}) {
            EXPECT_EQ(letters(42, size, kernel), portable)
                << "kernel " << static_cast<int>(kernel) << " size " << size;
        }
        EXPECT_TRUE(std::all_of(portable.begin(), portable.begin() + static_cast<long>(size),
                                [](auto b) { return b >= 'A' && b <= 'Z'; }));
        // Nothing written past the end.
        EXPECT_TRUE(std::all_of(portable.begin() + static_cast<long>(size), portable.end(),
                                [](auto b) { return b == 0; }));
    }
}

TEST(FillerGeneratorTest, LettersAreEvenlySpreadAndFreshForEveryBlock) {
    FillerGenerator generator(7);
    std::vector<std::uint8_t> block(8192);
    std::array<long, 26> counts{};
    std::vector<std::uint8_t> previous;
    constexpr int kBlocks = 64;
    for (int i = 0; i < kBlocks; ++i) {
        generator.fill(block.data(), block.size());
        EXPECT_NE(block, previous);
        previous = block;
        for (std::uint8_t b : block)
            if (b >= 'A' && b <= 'Z') ++counts[b - 'A'];
    }
    // Each letter takes 9 or 10 of 256 byte values: 3.5 % or 3.9 % of them.
    long total = 0;
    for (long c : counts) total += c;
    for (int letter = 0; letter < 26; ++letter) {
        double share = static_cast<double>(counts[letter]) / static_cast<double>(total);
        EXPECT_GT(share, 0.033) << static_cast<char>('A' + letter);
        EXPECT_LT(share, 0.041) << static_cast<char>('A' + letter);
    }
    // Two generators with other seeds do not repeat each other.
    FillerGenerator a(1), b(2);
    std::vector<std::uint8_t> x(256), y(256);
    a.fillLetters(x.data(), x.size(), Kernel::portable);
    b.fillLetters(y.data(), y.size(), Kernel::portable);
    EXPECT_NE(x, y);
}

TEST(FillerGeneratorTest, MarkersLieWhollyInsideTheBlock) {
    FillerGenerator generator(99);
    for (std::size_t size : {33, 100, 8192}) {
        std::vector<std::uint8_t> bytes(size + 16, 0);
        generator.fill(bytes.data(), size);
        std::string text(bytes.begin(), bytes.begin() + static_cast<long>(size));
        std::size_t markers = 0;
        for (std::size_t at = text.find(Filler::kMarker); at != std::string::npos;
             at = text.find(Filler::kMarker, at + 1))
            ++markers;
        EXPECT_GE(markers, 1u) << size;
        EXPECT_LE(markers, 10u) << size;
        EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<long>(size), bytes.end(),
                                [](auto b) { return b == 0; }));
    }
}

}  // namespace
}  // namespace trellon
