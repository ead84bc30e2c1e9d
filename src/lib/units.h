// Byte and bit quantities as text: "9.54 MByte", " 120 Kbit".
//
// Upper-case format letters mean bytes with powers of 1024, lower-case ones
// bits with powers of 1000. B/K/M/G (b/k/m/g) force a scale; any other letter
// chooses one adaptively.
#pragma once

#include <cstddef>

namespace trellon {

// Returns the number of characters as snprintf does.
int formatQuantity(char* buffer, std::size_t size, double bytes, char format);

// "2K" 2048, "2k" 2000, "1.5M" 1572864; text without a leading number gives 0;
// a result outside the int range gives INT_MIN.
int parseQuantity(const char* text);

}  // namespace trellon
