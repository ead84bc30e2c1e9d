// Page templates: loading documents into a response, replacing "$name"
// variables, the message row, HTML escaping and Base64.
#pragma once

#include <string>

#include "http/form_variables.h"
#include "http/property_table.h"
#include "http/response_buffer.h"

namespace trellon {

struct DocumentOptions {
    bool useHtdocs = false;                          // the document folder is in use
    const PropertyTable* substitutions = nullptr;    // "substitute.conf", may be null
};

// Loads a document by path into out (appending). When the document folder is
// not in use the embedded copy (by the name behind the last "/") comes first,
// else the file on disk, with the embedded copy as fallback. Text documents
// get the substitutions of "substitute.conf". Returns whether anything was loaded.
bool loadDocument(const std::string& path, ResponseBuffer& out, const DocumentOptions& options);

// Replaces every occurrence of key by value and returns the count. A key
// ending in a name character matches only where the name ends too, so
// "$dscpSelected_1" does not eat the front of "$dscpSelected_10". Search
// resumes behind each inserted value, so a value containing the key ends.
int replaceKey(ResponseBuffer& buffer, const std::string& key, const std::string& value);

// Plain mode: names without "$", key "$" + name, raw value. Escaped mode:
// names beginning with "$", the name is the key, the value HTML-escaped.
// One-character names are skipped. Returns the number of replacements.
int applyFormVariables(ResponseBuffer& buffer, const FormVariables& variables, bool escaped);

// For each key of the table in file order (keys containing "." skipped),
// replaces the key text with its value.
int applySubstitutions(ResponseBuffer& buffer, const PropertyTable& substitutions);

// Replaces "$messages" with the message row holding text.
void putMessage(ResponseBuffer& buffer, const std::string& text);
std::string messageRow(const std::string& text);

// Quotation mark, ampersand, less-than, greater-than and Latin-1 160..255 as
// named entities; a carriage return becomes a blank.
std::string escapeHtml(const std::string& text);

// The entity of a byte, or null when it has none.
const char* htmlEntity(unsigned char byte);

std::string base64Encode(const std::string& bytes);
// Skips characters outside the alphabet; stops after a short group.
std::string base64Decode(const std::string& text);

}  // namespace trellon
