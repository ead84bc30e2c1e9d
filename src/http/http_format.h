// Small formats of the web server: content types by file extension, HTTP
// dates, and the User-Agent pattern matcher.
#pragma once

#include <cstdint>
#include <string>

namespace trellon {

// By file name ending (case-insensitive, first matching row of the table);
// "text/plain; charset=ISO-8859-1" when nothing matches.
const char* contentTypeFor(const std::string& fileName);
bool isTextContentType(const char* contentType);

// "%a, %d %b %Y %H:%M:%S GMT"
std::string formatHttpTime(std::int64_t secondsSince1970);

// The seven accepted date forms (RFC 1123, RFC 850, asctime and their
// variants); -1 when none matches.
std::int64_t parseHttpDate(const std::string& text);

// "|" separates alternatives; "?" one character, "*" a run without "/",
// "**" any run; the whole value must match.
bool matchPattern(const std::string& pattern, const std::string& value);

}  // namespace trellon
