// The two packet-marking choice lists of the test input pages: the IP DSCP
// code point list (form field `diffservcodepoint`) and the Ethernet 802.1p
// priority list (`l2priority`).
//
// The options carry no value attribute, so the browser submits the option's
// visible text; every option text begins with its key ("AF41", "EF", "63",
// "Off"), and that beginning is what is recognised here. Each option of a
// template carries a marker variable, "$dscpSelected_" or "$onepSelected_"
// followed by the key, which becomes "SELECTED" or "".
#pragma once

#include <string>
#include <vector>

#include "http/form_variables.h"
#include "http/response_buffer.h"

namespace trellon {

// What an unmarked choice reads as until a form is read.
constexpr const char* kNoMarkingChoice = "Off\t(No packet marking)";

constexpr const char* kDscpMarkPrefix = "$dscpSelected_";
constexpr const char* kPriorityMarkPrefix = "$onepSelected_";

struct DscpName {
    const char* key;
    int codePoint;
};

// The named code points in the order they are recognised: the class
// selectors (RFC 2474), assured forwarding (RFC 2597), expedited forwarding
// (RFC 3246).
const std::vector<DscpName>& namedDscpCodePoints();

// Every key of the DSCP list: "Off", the names above, "0" to "63".
const std::vector<std::string>& dscpKeys();
// Every key of the 802.1p list: "Off", "0" to "7".
const std::vector<std::string>& priorityKeys();

// The code point of a submitted DSCP text; -1 for no marking ("" or "Off...").
// A text that is no name reads as its leading decimal digits (none: 0).
int dscpFromChoice(const std::string& text);
// The priority of a submitted 802.1p text; -1 for no marking.
int priorityFromChoice(const std::string& text);

// Sets every marker variable of both lists in the form: "SELECTED" for the
// options the texts name, "" for the others, so that a page shown again in
// escaped mode selects what the user had chosen.
void markChoices(FormVariables& form, const std::string& dscpText, const std::string& priorityText);

// First display: "Off" selected in both lists, every other marker "".
void applyDefaultQosMarks(ResponseBuffer& page);

// Marker variables still in a page after the user's values were put back:
// when the form marked its own options of a list, the rest of that list
// becomes ""; a list the form did not mark at all gets the default marks.
void clearRemainingQosMarks(ResponseBuffer& page, const FormVariables& form);

}  // namespace trellon
