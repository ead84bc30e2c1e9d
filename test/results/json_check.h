// Checks the JSON form of a record with python3's strict json parser, against
// the XML form of the same record read by python3's xml.etree.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace trellon::testing {

// The JSON parses (json.loads: strict, no NaN or Infinity, no duplicate
// names), is an object, and holds every element of the XML document's root
// with the same value: a number where the XML text is one (compared as
// numbers), the same text otherwise. Where the JSON member is an array (a
// name the XML repeats with other values), the value must be one of it.
inline ::testing::AssertionResult jsonCarriesXml(const std::string& json, const std::string& xml) {
    TempDir dir;
    writeFile(dir.file("result.json"), json);
    writeFile(dir.file("result.xml"), xml);
    writeFile(dir.file("check.py"), R"PY(
import json, sys, xml.etree.ElementTree as E
def no_constants(name):
    raise ValueError("not JSON: " + name)
def unique(pairs):
    names = [n for n, _ in pairs]
    if len(names) != len(set(names)):
        raise ValueError("repeated names: %r" % names)
    return dict(pairs)
with open(sys.argv[1], "rb") as f:
    raw = f.read()
raw.decode("ascii")
doc = json.loads(raw.decode("ascii"), strict=True, parse_constant=no_constants,
                 object_pairs_hook=unique)
assert isinstance(doc, dict), "not an object"
root = E.parse(sys.argv[2]).getroot()
def same(x, j):
    if isinstance(j, bool):
        return False
    if isinstance(j, (int, float)):
        try:
            return float(x.strip()) == float(j)
        except ValueError:
            return False
    return x == j
for e in root:
    text = e.text or ""
    assert e.tag in doc, "missing " + e.tag
    value = doc[e.tag]
    values = value if isinstance(value, list) else [value]
    assert any(same(text, v) for v in values), "%s: xml %r json %r" % (e.tag, text, value)
print("ok")
)PY");
    std::string output;
    int status = runCommand("python3 " + dir.file("check.py") + " " + dir.file("result.json") +
                                " " + dir.file("result.xml") + " 2>&1",
                            &output);
    if (status != 0)
        return ::testing::AssertionFailure() << output << "\nJSON:\n" << json << "\nXML:\n" << xml;
    return ::testing::AssertionSuccess();
}

}  // namespace trellon::testing
