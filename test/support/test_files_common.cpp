// The file helpers of test_support.h, the same on every system.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "support/test_support.h"

namespace trellon::testing {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool fileExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

}  // namespace trellon::testing
