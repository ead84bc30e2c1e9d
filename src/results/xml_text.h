// Text for the XML result document.
//
// Every value written into the document goes through escapeXml, whatever its
// origin (a remote computer name a user typed, a title, an HTML sentence, a
// plug-in's output), so no input can break the document or inject elements
// into it. HTML's named entities ("&nbsp;", "&eacute;") are not defined in XML,
// which is why the HTML escaper is not used here.
#pragma once

#include <string>
#include <string_view>

namespace trellon {

// Quotation mark, apostrophe, ampersand, less-than and greater-than as the five
// XML entities; valid UTF-8 sequences copied; any other byte at or above 0x80
// (Latin-1 text, broken UTF-8) as a numeric reference to the Latin-1 character
// ("&#233;"); a carriage return as "&#13;" (a parser would turn a raw one into
// a line feed); TAB and LF kept; every other control character dropped (XML
// 1.0 cannot carry them, not even as references).
std::string escapeXml(std::string_view text);

// An element name that XML accepts: letters, digits, '_', '-' and '.' kept,
// every other byte replaced by '_', and '_' put in front when the name does
// not start with a letter or '_' (an empty name becomes "_"). Element names
// normally are fixed words; plug-in form field names come from the request.
std::string xmlElementName(std::string_view name);

}  // namespace trellon
