// File facts the web server and the plug-in scan need.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace trellon::platform {

enum class FileKind { missing, regular, directory, other };

FileKind fileKind(const std::string& path);

// Modification time in seconds since 1970, -1 when the file is missing.
std::int64_t modificationTime(const std::string& path);

// Names in a folder (without "." and ".."), in the order the file system lists
// them; empty when it cannot be read.
std::vector<std::string> listDirectory(const std::string& path);

// Real path with every link and ".." resolved, or "" when it does not exist.
std::string canonicalPath(const std::string& path);

}  // namespace trellon::platform
