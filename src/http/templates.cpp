#include "http/templates.h"

#include <array>
#include <filesystem>
#include <fstream>

#include "http/embedded_documents.h"
#include "http/http_format.h"

namespace trellon {

namespace {

bool isNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Appends one document to out, applying the substitutions to its own text
// only, so nothing already in out (a header block, say) is touched.
void appendDocument(const char* data, std::size_t length, bool isText, ResponseBuffer& out,
                    const DocumentOptions& options) {
    if (!isText || options.substitutions == nullptr || options.substitutions->keys().empty()) {
        out.append(data, length);
        return;
    }
    ResponseBuffer document;
    document.append(data, length);
    applySubstitutions(document, *options.substitutions);
    out.append(document.str());
}

bool loadEmbedded(const std::string& name, bool isText, ResponseBuffer& out,
                  const DocumentOptions& options) {
    const EmbeddedDocument* document = findEmbeddedDocument(name);
    if (document == nullptr) return false;
    appendDocument(reinterpret_cast<const char*>(document->data), document->length, isText, out,
                   options);
    return true;
}

bool loadFromDisk(const std::string& path, bool isText, ResponseBuffer& out,
                  const DocumentOptions& options) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) return false;
    std::string text;
    std::array<char, 2000> chunk;
    while (in.read(chunk.data(), chunk.size()) || in.gcount() > 0) {
        text.append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    }
    appendDocument(text.data(), text.size(), isText, out, options);
    return true;
}

// HTML 4.01 named entities for the characters that need one, by code.
constexpr std::array<const char*, 256> makeEntityTable() {
    std::array<const char*, 256> table{};
    table['"'] = "&quot;";
    table['&'] = "&amp;";
    table['<'] = "&lt;";
    table['>'] = "&gt;";
    constexpr const char* kLatin1[96] = {
        "&nbsp;",   "&iexcl;",  "&cent;",   "&pound;",  "&curren;", "&yen;",    "&brvbar;",
        "&sect;",   "&uml;",    "&copy;",   "&ordf;",   "&laquo;",  "&not;",    "&shy;",
        "&reg;",    "&macr;",   "&deg;",    "&plusmn;", "&sup2;",   "&sup3;",   "&acute;",
        "&micro;",  "&para;",   "&middot;", "&cedil;",  "&sup1;",   "&ordm;",   "&raquo;",
        "&frac14;", "&frac12;", "&frac34;", "&iquest;", "&Agrave;", "&Aacute;", "&Acirc;",
        "&Atilde;", "&Auml;",   "&Aring;",  "&AElig;",  "&Ccedil;", "&Egrave;", "&Eacute;",
        "&Ecirc;",  "&Euml;",   "&Igrave;", "&Iacute;", "&Icirc;",  "&Iuml;",   "&ETH;",
        "&Ntilde;", "&Ograve;", "&Oacute;", "&Ocirc;",  "&Otilde;", "&Ouml;",   "&times;",
        "&Oslash;", "&Ugrave;", "&Uacute;", "&Ucirc;",  "&Uuml;",   "&Yacute;", "&THORN;",
        "&szlig;",  "&agrave;", "&aacute;", "&acirc;",  "&atilde;", "&auml;",   "&aring;",
        "&aelig;",  "&ccedil;", "&egrave;", "&eacute;", "&ecirc;",  "&euml;",   "&igrave;",
        "&iacute;", "&icirc;",  "&iuml;",   "&eth;",    "&ntilde;", "&ograve;", "&oacute;",
        "&ocirc;",  "&otilde;", "&ouml;",   "&divide;", "&oslash;", "&ugrave;", "&uacute;",
        "&ucirc;",  "&uuml;",   "&yacute;", "&thorn;",  "&yuml;",
    };
    for (int i = 0; i < 96; ++i) table[160 + i] = kLatin1[i];
    return table;
}

constexpr std::array<const char*, 256> kEntities = makeEntityTable();

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<signed char, 256> makeBase64Values() {
    std::array<signed char, 256> values{};
    for (auto& v : values) v = -1;
    for (int i = 0; i < 64; ++i)
        values[static_cast<unsigned char>(kBase64Alphabet[i])] = static_cast<signed char>(i);
    return values;
}

constexpr std::array<signed char, 256> kBase64Values = makeBase64Values();

}  // namespace

bool loadDocument(const std::string& path, ResponseBuffer& out, const DocumentOptions& options) {
    const std::size_t slash = path.find_last_of('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const bool isText = isTextContentType(contentTypeFor(name));
    if (!options.useHtdocs) {
        return loadEmbedded(name, isText, out, options) || loadFromDisk(path, isText, out, options);
    }
    return loadFromDisk(path, isText, out, options) || loadEmbedded(name, isText, out, options);
}

int replaceKey(ResponseBuffer& buffer, const std::string& key, const std::string& value) {
    if (key.empty() || buffer.empty()) return 0;
    const std::string& text = buffer.str();
    const bool keyEndsInName = isNameCharacter(key.back());

    std::string result;
    std::size_t copied = 0;  // text before this offset is already in result
    std::size_t searchFrom = 0;
    int count = 0;
    for (std::size_t hit; (hit = text.find(key, searchFrom)) != std::string::npos;) {
        const std::size_t end = hit + key.size();
        if (keyEndsInName && end < text.size() && isNameCharacter(text[end])) {
            // The front of a longer name, such as "$stdout" in "$stdoutHtml".
            searchFrom = hit + 1;
            continue;
        }
        if (count == 0) result.reserve(text.size() + value.size());
        result.append(text, copied, hit - copied);
        result.append(value);
        copied = searchFrom = end;
        ++count;
    }
    if (count == 0) return 0;
    result.append(text, copied, std::string::npos);
    buffer.assign(std::move(result));
    return count;
}

int applyFormVariables(ResponseBuffer& buffer, const FormVariables& variables, bool escaped) {
    int count = 0;
    for (const auto& [name, value] : variables.all()) {
        // An empty name is skipped too: as key "$" it would replace every
        // dollar sign of the page.
        if (name.size() < 2) continue;
        const bool dollarName = name[0] == '$';
        if (escaped && dollarName) {
            count += replaceKey(buffer, name, escapeHtml(value));
        } else if (!escaped && !dollarName) {
            count += replaceKey(buffer, "$" + name, value);
        }
    }
    return count;
}

int applySubstitutions(ResponseBuffer& buffer, const PropertyTable& substitutions) {
    int count = 0;
    for (const std::string& key : substitutions.keys()) {
        // Dotted keys are attributes (plug-in style "name.attribute"), not
        // page variables.
        if (key.find('.') != std::string::npos) continue;
        count += replaceKey(buffer, key, substitutions.get(key));
    }
    return count;
}

std::string messageRow(const std::string& text) {
    return "<tr><td class=\"messages\" >" + text + "</td><tr>";
}

void putMessage(ResponseBuffer& buffer, const std::string& text) {
    replaceKey(buffer, "$messages", messageRow(text));
}

const char* htmlEntity(unsigned char byte) {
    return kEntities[byte];
}

std::string escapeHtml(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        const char* entity = htmlEntity(static_cast<unsigned char>(c));
        if (entity != nullptr) {
            escaped += entity;
        } else if (c == '\r') {
            escaped += ' ';
        } else {
            escaped += c;
        }
    }
    return escaped;
}

std::string base64Encode(const std::string& bytes) {
    std::string encoded;
    encoded.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned group = static_cast<unsigned char>(bytes[i]) << 16 |
                               static_cast<unsigned char>(bytes[i + 1]) << 8 |
                               static_cast<unsigned char>(bytes[i + 2]);
        encoded += kBase64Alphabet[group >> 18 & 63];
        encoded += kBase64Alphabet[group >> 12 & 63];
        encoded += kBase64Alphabet[group >> 6 & 63];
        encoded += kBase64Alphabet[group & 63];
    }
    const std::size_t left = bytes.size() - i;
    if (left > 0) {
        unsigned group = static_cast<unsigned char>(bytes[i]) << 16;
        if (left == 2) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        encoded += kBase64Alphabet[group >> 18 & 63];
        encoded += kBase64Alphabet[group >> 12 & 63];
        encoded += left == 2 ? kBase64Alphabet[group >> 6 & 63] : '=';
        encoded += '=';
    }
    return encoded;
}

std::string base64Decode(const std::string& text) {
    std::string decoded;
    decoded.reserve(text.size() / 4 * 3);
    unsigned group = 0;
    int counted = 0;
    bool thirdIsPad = false;
    bool fourthIsPad = false;
    for (char c : text) {
        int value;
        const bool pad = c == '=';
        if (pad) {
            value = 0;
        } else {
            value = kBase64Values[static_cast<unsigned char>(c)];
            if (value < 0) continue;
        }
        if (counted == 2) thirdIsPad = pad;
        if (counted == 3) fourthIsPad = pad;
        group = group << 6 | static_cast<unsigned>(value);
        if (++counted < 4) continue;

        decoded += static_cast<char>(group >> 16 & 0xff);
        if (thirdIsPad) break;
        decoded += static_cast<char>(group >> 8 & 0xff);
        if (fourthIsPad) break;
        decoded += static_cast<char>(group & 0xff);
        group = 0;
        counted = 0;
    }
    return decoded;
}

}  // namespace trellon
