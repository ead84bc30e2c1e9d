// Checks a text with real XML parsers: python3's xml.etree and xmllint.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace trellon::testing {

inline ::testing::AssertionResult parsesAsXml(const std::string& document) {
    TempDir dir;
    std::string path = dir.file("result.xml");
    writeFile(path, document);
    std::string output;
    int status = runCommand(
        "python3 -c 'import sys, xml.etree.ElementTree as E; E.parse(sys.argv[1])' " + path,
        &output);
    if (status != 0)
        return ::testing::AssertionFailure() << "xml.etree: " << output << "\n" << document;
    status = runCommand("xmllint --noout " + path, &output);
    if (status != 0)
        return ::testing::AssertionFailure() << "xmllint: " << output << "\n" << document;
    return ::testing::AssertionSuccess();
}

// The text content of the first element with that tag, as python3 reads it
// (printed as hex so any byte survives the pipe).
inline std::string parsedElementText(const std::string& document, const std::string& tag) {
    TempDir dir;
    std::string path = dir.file("result.xml");
    writeFile(path, document);
    std::string output;
    int status = runCommand(
        "python3 -c 'import sys, xml.etree.ElementTree as E; "
        "e = E.parse(sys.argv[1]).getroot().find(sys.argv[2]); "
        "print((e.text or \"\").encode(\"utf-8\").hex())' " +
            path + " " + tag,
        &output);
    if (status != 0) return "<parse failed: " + output + ">";
    std::string bytes;
    for (std::size_t i = 0; i + 1 < output.size() && output[i] != '\n'; i += 2) {
        bytes += static_cast<char>(std::stoi(output.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

}  // namespace trellon::testing
