// The bandwidth data sink: what the data-sink listener does with each
// accepted connection.
//
// Each admitted connection gets its own record in the test log (its page
// shows what the sink received) and a SocketReaderThread that reads it to
// its end. An outsider can open connections as fast as it likes, so the sink
// holds at most kMaxConnections at once (further ones are closed at once,
// with no record), and every connection has deadlines: no data for
// kStallLimitMs ends it, and none lasts longer than the longest bandwidth
// test this agent allows plus kGraceSeconds.
//
// The listener thread calls handleConnection; the count of connections held
// is one atomic, given back when each reader thread is gone.
#pragma once

#include <string>

#include "lib/socket.h"

namespace trellon {

class TestResult;

class DataSink {
public:
    static constexpr int kMaxConnections = 64;
    // As long as a sender's own send may stall before it gives up.
    static constexpr int kStallLimitMs = 3000;
    static constexpr int kGraceSeconds = 10;

    // Admits the connection (record and reader thread) or closes it; true when admitted.
    static bool handleConnection(SocketHandle connection, const sockaddr_in& peer);
    // Connections held right now.
    static int activeConnections();
    // The longest one connection may last, in seconds.
    static int connectionLimitSeconds();

    // What the record of one incoming test holds before the data comes.
    static void describe(TestResult& record, const std::string& peer, int peerPort, int localPort);
};

// Installs the listener's connection handler. Call before the listener starts.
void installDataSinkHandler();

}  // namespace trellon
