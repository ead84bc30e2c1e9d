// The startStreamServer exchange between two agents: the agent that runs a
// streaming test asks the remote agent (requestStreamServer) to stream to
// the port its StreamClient listens on; the remote agent answers with
// StartStreamServerCommand.
//
//   startStreamServer?port=%d&fromPort=%d&packetSize=%d&flowRate=%d
//                    &reportInterval=%d&timeLimit=%d[&dscp=%d][&onep=%d]
//
// The answer is body only: the new stream server's test id and "OK" on two
// lines, or the single line "0" when nothing was started.
//
// The answering side trusts nothing of the request: every number must be
// plain digits within its bounds (packet size 28-1500, since the header takes
// 28 bytes and the sender's buffer is 2000; rate 1-1,250,000 bytes per
// second; time limit 1 to its own streamingTimeLimit), a stream takes one of
// the running-test slots like any test, and it always goes to the address
// the request came from.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "http/http_command.h"
#include "nettests/stream_server.h"

namespace trellon {

class RemoteAgentStatus;

class StartStreamServerCommand : public HttpCommand {
public:
    static constexpr int kMaxFlowRate = 1250000;  // bytes per second (10 Mbit/s)

    StartStreamServerCommand() : HttpCommand("startStreamServer", false) {}

    int execute(HttpRequest& request, FormVariables& form, ResponseBuffer& out) override;

    // The request's numbers, checked; nothing when any is missing or out of
    // bounds. The client address is not read from it (it is the peer's).
    static std::optional<StreamServer::Settings> readSettings(const FormVariables& form,
                                                              int maximumTimeLimit);
    // Starts a stream to clientAddress (network order): the reply body,
    // "<id>\r\nOK\r\n", or "0\r\n" when no slot, record or socket could be had.
    static std::string startServer(StreamServer::Settings settings, std::uint32_t clientAddress);
};

// What the asking side sends.
struct StreamServerRequest {
    int port = 0;      // the client's receive port
    int fromPort = 0;  // the streamingServerPort setting
    int packetSize = 0;
    int flowRate = 0;
    int reportInterval = 1;
    int timeLimit = 0;
    int dscp = -1;      // sent only when 0-63
    int priority = -1;  // sent only when 0-7
};

std::string startStreamServerPath(const StreamServerRequest& request);

// Asks the remote agent on its control port. True when it started a stream
// server, whose test id (kept for the cancel request) is given in
// *remoteTestId; an answer of "0", or none, is false. *roundTripUs gets the
// request's TCP handshake time (Request::connectMicroseconds).
bool requestStreamServer(const RemoteAgentStatus& remote, const StreamServerRequest& request,
                         int* remoteTestId, std::int64_t* roundTripUs = nullptr);

}  // namespace trellon
