// The status reply another agent sends: whatever its bytes, the version and
// the status word are single lines (the version our own when the reply has
// none) and the ports are at most kMaxPorts
// numbers that can name a port, so a test never aims its traffic at a port
// the reply did not mean.
#include "fuzz_check.h"
#include "nettests/remote_agent_status.h"

using namespace trellon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    RemoteAgentStatus status("fuzz.example");
    status.parseStatusReply(fuzz::text(data, size));
    FUZZ_CHECK(status.version().find('\n') == std::string::npos);
    FUZZ_CHECK(status.statusWord().find('\n') == std::string::npos);
    FUZZ_CHECK(status.statusWord().size() <= size);
    FUZZ_CHECK(static_cast<int>(status.ports().size()) <= RemoteAgentStatus::kMaxPorts);
    for (int port : status.ports()) FUZZ_CHECK(port >= 1 && port <= 65535);
    for (int i = -1; i <= RemoteAgentStatus::kMaxPorts; ++i) {
        const int port = status.port(i);
        FUZZ_CHECK(port >= 0 && port <= 65535);
    }
    // A second reply replaces what the first one said.
    status.parseStatusReply(fuzz::text(data, size / 2));
    FUZZ_CHECK(static_cast<int>(status.ports().size()) <= RemoteAgentStatus::kMaxPorts);
    return 0;
}
