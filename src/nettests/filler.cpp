#include "nettests/filler.h"

#include <cstring>
#include <string>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define TRELLON_FILLER_X86 1
#endif

namespace trellon {

static_assert(std::char_traits<char>::length(Filler::kMarker) == Filler::kMarkerLength);

namespace {

constexpr std::uint64_t kEvenBytes = 0x00FF00FF00FF00FFull;
constexpr std::uint64_t kLetterA = 0x4141414141414141ull;

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Marsaglia's xorshift64 (13, 7, 17).
std::uint64_t xorshift(std::uint64_t x) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
}

// Eight letters from eight random bytes: each byte b gives b * 26 >> 8, done
// in 16-bit slots (a slot holds at most 255 * 26, so no carry crosses it).
std::uint64_t letters(std::uint64_t x) {
    std::uint64_t even = (((x & kEvenBytes) * 26) >> 8) & kEvenBytes;
    std::uint64_t odd = (((x >> 8) & kEvenBytes) * 26) & ~kEvenBytes;
    return (even | odd) + kLetterA;
}

void roundPortable(std::uint64_t* lanes, std::uint8_t* out) {
    for (int lane = 0; lane < FillerGenerator::kLanes; ++lane) {
        lanes[lane] = xorshift(lanes[lane]);
        std::uint64_t word = letters(lanes[lane]);
        std::memcpy(out + 8 * lane, &word, 8);
    }
}

std::size_t fillPortable(std::uint64_t* lanes, std::uint8_t* buffer, std::size_t size) {
    std::size_t done = 0;
    for (; done + FillerGenerator::kRoundBytes <= size; done += FillerGenerator::kRoundBytes)
        roundPortable(lanes, buffer + done);
    return done;
}

#ifdef TRELLON_FILLER_X86

// Register r holds lanes 2r and 2r + 1, so its 16 bytes land where the
// portable round puts those two lanes' words.
std::size_t fillSse2(std::uint64_t* lanes, std::uint8_t* buffer, std::size_t size) {
    const __m128i k26 = _mm_set1_epi16(26);
    const __m128i oddBytes = _mm_set1_epi16(static_cast<short>(0xFF00));
    const __m128i letterA = _mm_set1_epi8('A');
    __m128i state[4];
    for (int r = 0; r < 4; ++r)
        state[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes + 2 * r));
    std::size_t done = 0;
    for (; done + FillerGenerator::kRoundBytes <= size; done += FillerGenerator::kRoundBytes) {
        for (int r = 0; r < 4; ++r) {
            __m128i x = state[r];
            x = _mm_xor_si128(x, _mm_slli_epi64(x, 13));
            x = _mm_xor_si128(x, _mm_srli_epi64(x, 7));
            x = _mm_xor_si128(x, _mm_slli_epi64(x, 17));
            state[r] = x;
            // (b << 8) * 26 >> 16 is b * 26 >> 8, for the even and the odd bytes.
            __m128i even = _mm_mulhi_epu16(_mm_slli_epi16(x, 8), k26);
            __m128i odd = _mm_slli_epi16(_mm_mulhi_epu16(_mm_and_si128(x, oddBytes), k26), 8);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(buffer + done + 16 * r),
                             _mm_add_epi8(_mm_or_si128(even, odd), letterA));
        }
    }
    for (int r = 0; r < 4; ++r)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 2 * r), state[r]);
    return done;
}

__attribute__((target("avx2"))) std::size_t fillAvx2(std::uint64_t* lanes, std::uint8_t* buffer,
                                                     std::size_t size) {
    const __m256i k26 = _mm256_set1_epi16(26);
    const __m256i oddBytes = _mm256_set1_epi16(static_cast<short>(0xFF00));
    const __m256i letterA = _mm256_set1_epi8('A');
    __m256i state[2];
    for (int r = 0; r < 2; ++r)
        state[r] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes + 4 * r));
    std::size_t done = 0;
    for (; done + FillerGenerator::kRoundBytes <= size; done += FillerGenerator::kRoundBytes) {
        for (int r = 0; r < 2; ++r) {
            __m256i x = state[r];
            x = _mm256_xor_si256(x, _mm256_slli_epi64(x, 13));
            x = _mm256_xor_si256(x, _mm256_srli_epi64(x, 7));
            x = _mm256_xor_si256(x, _mm256_slli_epi64(x, 17));
            state[r] = x;
            __m256i even = _mm256_mulhi_epu16(_mm256_slli_epi16(x, 8), k26);
            __m256i odd =
                _mm256_slli_epi16(_mm256_mulhi_epu16(_mm256_and_si256(x, oddBytes), k26), 8);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(buffer + done + 32 * r),
                                _mm256_add_epi8(_mm256_or_si256(even, odd), letterA));
        }
    }
    for (int r = 0; r < 2; ++r)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes + 4 * r), state[r]);
    return done;
}

#endif  // TRELLON_FILLER_X86

}  // namespace

FillerGenerator::FillerGenerator(std::uint64_t seed) : offsets_(seed) {
    std::uint64_t mix = seed ^ 0x5DEECE66Dull;
    for (auto& lane : lanes_) {
        // xorshift never leaves an all-zero state, nor reaches it.
        do lane = splitmix64(mix);
        while (lane == 0);
    }
}

std::uint64_t FillerGenerator::next() {
    return splitmix64(offsets_);
}

FillerGenerator::Kernel FillerGenerator::fastestKernel() {
#ifdef TRELLON_FILLER_X86
    static const Kernel fastest = __builtin_cpu_supports("avx2") ? Kernel::avx2 : Kernel::sse2;
    return fastest;
#else
    return Kernel::portable;
#endif
}

void FillerGenerator::fillLetters(std::uint8_t* buffer, std::size_t size, Kernel kernel) {
    std::size_t done = 0;
#ifdef TRELLON_FILLER_X86
    if (kernel == Kernel::avx2 && fastestKernel() == Kernel::avx2)
        done = fillAvx2(lanes_, buffer, size);
    else if (kernel != Kernel::portable)
        done = fillSse2(lanes_, buffer, size);
    else
        done = fillPortable(lanes_, buffer, size);
#else
    (void)kernel;
    done = fillPortable(lanes_, buffer, size);
#endif
    if (done < size) {
        std::uint8_t round[kRoundBytes];
        roundPortable(lanes_, round);
        std::memcpy(buffer + done, round, size - done);
    }
}

void FillerGenerator::fill(std::uint8_t* buffer, std::size_t size) {
    fillLetters(buffer, size, fastestKernel());
    // Offsets 0 .. size - 33, so every copy lies wholly inside the buffer; a
    // buffer too small to hold the marker keeps only letters.
    if (size <= Filler::kMarkerLength) return;
    for (int copy = 0; copy < Filler::kMarkerCopies; ++copy) {
        std::size_t offset = next() % (size - Filler::kMarkerLength);
        std::memcpy(buffer + offset, Filler::kMarker, Filler::kMarkerLength);
    }
}

void Filler::fill(std::uint8_t* buffer, std::size_t size) {
    thread_local FillerGenerator generator{
        (static_cast<std::uint64_t>(std::random_device{}()) << 32) ^ std::random_device{}()};
    generator.fill(buffer, size);
}

void Filler::fill(std::uint8_t* buffer, std::size_t size, std::minstd_rand& seedSource) {
    std::uint64_t seed = (static_cast<std::uint64_t>(seedSource()) << 32) ^ seedSource();
    FillerGenerator generator(seed);
    generator.fill(buffer, size);
}

}  // namespace trellon
