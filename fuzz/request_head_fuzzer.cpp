// The request head, as the connection loop hands it over: bytes in chunks
// (the first input byte sets the chunk size), then the parse. Whatever comes,
// the head is capped, the parse ends in a request or in an error page, and a
// request names a file inside the document folder: no ".." and no NUL; the path normaliser never
// lets a name climb out either.
#include <netinet/in.h>

#include <algorithm>

#include "fuzz_check.h"
#include "http/http_request.h"

using namespace trellon;

namespace {

// A name the normaliser gave back: no segment climbs or stays. Empty
// segments ("a//b", ".//b") may stay; the name is always put after the
// folder and a "/", and the file is checked against the folder's real path
// before it is served. NUL is the request parser's to refuse, before the
// normaliser sees the path.
void checkNormalName(const std::string& name) {
    FUZZ_CHECK(!name.empty());
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = name.find('/', start);
        const std::string segment = name.substr(start, slash - start);
        FUZZ_CHECK(segment != ".." && segment != ".");
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
}

void checkFileName(const std::string& name) {
    checkNormalName(name);
    FUZZ_CHECK(name.find('\0') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t chunk = 1 + data[0] % 64;
    const std::string input = fuzz::text(data + 1, size - 1);

    // No socket and no server: the loop's side of the request does no I/O.
    HttpRequest request(kInvalidSocket, 4044, false, "htdocs/", nullptr);
    request.setLoopMode();
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    request.setPeerAddress(peer);

    HttpRequest::Head state = HttpRequest::Head::incomplete;
    for (std::size_t at = 0; at < input.size() && state == HttpRequest::Head::incomplete;
         at += chunk) {
        state = request.takeHeadBytes(input.data() + at, std::min(chunk, input.size() - at));
    }
    FUZZ_CHECK(request.record().input.size() <= HttpRequest::kMaxHeadBytes + chunk);
    request.servesAtOnce();

    const ParsedRequest& record = request.record();
    if (record.output.empty()) {
        // No answer yet: either nothing to parse, or a request to serve.
        if (record.method != 0) {
            FUZZ_CHECK(record.method >= 1 && record.method <= 3);
            checkFileName(record.fileName);
            FUZZ_CHECK(record.filePath == record.docRoot + "/" + record.fileName);
        }
    } else {
        FUZZ_CHECK(record.output.str().rfind("HTTP/1.", 0) == 0);
    }

    // The normaliser and the line reader on their own.
    bool illegal = false;
    const std::string normal = HttpRequest::normalizePath(input, illegal);
    if (!illegal && !normal.empty()) checkNormalName(normal);
    std::size_t position = 0;
    std::string line;
    int lines = 0;
    while (HttpRequest::readLine(input, position, line)) {
        FUZZ_CHECK(line.find('\n') == std::string::npos && line.find('\r') == std::string::npos);
        FUZZ_CHECK(++lines <= static_cast<int>(input.size()));
    }
    HttpRequest::isPrivateFile(input);
    return 0;
}
