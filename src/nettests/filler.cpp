#include "nettests/filler.h"

#include <cstring>
#include <string>

namespace trellon {

static_assert(std::char_traits<char>::length(Filler::kMarker) == Filler::kMarkerLength);

void Filler::fill(std::uint8_t* buffer, std::size_t size) {
    thread_local std::minstd_rand generator{std::random_device{}()};
    fill(buffer, size, generator);
}

void Filler::fill(std::uint8_t* buffer, std::size_t size, std::minstd_rand& generator) {
    for (std::size_t i = 0; i < size; ++i)
        buffer[i] = static_cast<std::uint8_t>('A' + generator() % 26);
    // Offsets 0 .. size - 33, so every copy lies wholly inside the buffer; a
    // buffer too small to hold the marker keeps only letters.
    if (size <= kMarkerLength) return;
    for (int copy = 0; copy < kMarkerCopies; ++copy) {
        std::size_t offset = generator() % (size - kMarkerLength);
        std::memcpy(buffer + offset, kMarker, kMarkerLength);
    }
}

}  // namespace trellon
