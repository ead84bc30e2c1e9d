#include "lib/units.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>

namespace trellon {

namespace {
constexpr const char* kByteLabels[] = {"Byte", "KByte", "MByte", "GByte"};
constexpr const char* kBitLabels[] = {"bit", "Kbit", "Mbit", "Gbit"};
constexpr double kByteFactors[] = {1.0, 1.0 / 1024, 1.0 / 1048576, 1.0 / 1073741824};
constexpr double kBitFactors[] = {1.0, 1.0 / 1000, 1.0 / 1000000, 1.0 / 1000000000};
}  // namespace

int formatQuantity(char* buffer, std::size_t size, double bytes, char format) {
    bool bits = std::islower(static_cast<unsigned char>(format)) != 0;
    double value = bits ? bytes * 8.0 : bytes;

    int scale = 0;
    switch (std::toupper(static_cast<unsigned char>(format))) {
        case 'B': scale = 0; break;
        case 'K': scale = 1; break;
        case 'M': scale = 2; break;
        case 'G': scale = 3; break;
        default: {
            double base = bits ? 1000.0 : 1024.0;
            double scaled = value;
            while (scaled >= base && scale < 3) {
                scaled /= base;
                ++scale;
            }
        }
    }

    double shown = value * (bits ? kBitFactors[scale] : kByteFactors[scale]);
    const char* label = bits ? kBitLabels[scale] : kByteLabels[scale];
    const char* pattern = shown < 9.995 ? "%4.2f %s" : shown < 99.95 ? "%4.1f %s" : "%4.0f %s";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    return std::snprintf(buffer, size, pattern, shown, label);
#pragma GCC diagnostic pop
}

int parseQuantity(const char* text) {
    if (text == nullptr) return 0;
    double number = 0.0;
    char suffix = '\0';
    int fields = std::sscanf(text, "%lf%c", &number, &suffix);
    if (fields < 1 || std::isnan(number)) return 0;
    if (fields == 2) {
        switch (suffix) {
            case 'G': number *= 1073741824.0; break;
            case 'M': number *= 1048576.0; break;
            case 'K': number *= 1024.0; break;
            case 'g': number *= 1e9; break;
            case 'm': number *= 1e6; break;
            case 'k': number *= 1e3; break;
            default: break;
        }
    }
    if (!(number >= static_cast<double>(INT_MIN) && number < 2147483648.0)) return INT_MIN;
    return static_cast<int>(number);
}

}  // namespace trellon
