// The record as JSON, for scripts: the same elements as the XML result, in
// the same order, numbers written as numbers.
//
// Values are the raw texts the record keeps (never the XML-escaped ones), so
// any byte a user or a peer put there is escaped here, once. The output is
// plain ASCII, so it parses whatever the bytes were: valid UTF-8 sequences
// travel as \u escapes of their characters (surrogate pairs above the BMP),
// and any other byte at or above 0x80 as its Latin-1 character, the reading
// the XML result gives it too.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace trellon {

// A JSON string literal, quotes included.
std::string jsonString(std::string_view text);

// One member of the document: a name, and a value that is either text or a
// number already written in JSON form.
struct JsonMember {
    std::string name;
    std::string value;
    bool isNumber = false;
};

// An object of the members, in order. A name that comes again with the same
// value is written once; with another value, its member holds an array of the
// values in the order they came, so no value is lost to a parser that keeps
// only the last of equal names.
std::string jsonObject(const std::vector<JsonMember>& members);

}  // namespace trellon
