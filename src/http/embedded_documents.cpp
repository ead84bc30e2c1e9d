#include "http/embedded_documents.h"

namespace trellon {

const EmbeddedDocument* findEmbeddedDocument(const std::string& name) {
    for (const EmbeddedDocument* d = kEmbeddedDocuments; d->name != nullptr; ++d) {
        if (name == d->name) return d;
    }
    return nullptr;
}

}  // namespace trellon
