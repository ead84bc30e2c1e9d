// The pages and images compiled into the agent from htdocs/ at build time.
#pragma once

#include <cstddef>
#include <string>

namespace trellon {

struct EmbeddedDocument {
    const char* name;  // null in the row that ends the table
    const unsigned char* data;
    std::size_t length;
};

// Ends with a row whose name is null.
extern const EmbeddedDocument kEmbeddedDocuments[];

// Exact, case-sensitive name match; null when there is none.
const EmbeddedDocument* findEmbeddedDocument(const std::string& name);

}  // namespace trellon
