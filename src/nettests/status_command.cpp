#include "nettests/status_command.h"

#include "lib/agent_state.h"

namespace trellon {

std::string StatusCommand::replyText() {
    // Without a running agent (tests) the settings' defaults are what an
    // agent would answer.
    int dataSink = 4045;
    int stream = 4046;
    int reflector = 4047;
    if (AgentState* agent = AgentState::current()) {
        dataSink = agent->serverTcpPort.load();
        stream = agent->streamDestinationUdpPort.load();
        reflector = agent->reflectorResponsePort.load();
    }
    std::string text = std::string(kProgramVersion) + "\r\n" + kStatusWord + "\r\n";
    for (int port : {dataSink, stream, reflector, 0}) text += std::to_string(port) + "\r\n";
    return text;
}

int StatusCommand::execute(HttpRequest&, FormVariables&, ResponseBuffer& out) {
    out.append(replyText());
    return 0;
}

}  // namespace trellon
