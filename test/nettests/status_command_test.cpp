#include "nettests/status_command.h"

#include <gtest/gtest.h>

#include "http/http_request.h"
#include "lib/agent_state.h"

namespace trellon {
namespace {

TEST(StatusCommand, AnswersVersionWordAndTheAgentsPorts) {
    StatusCommand command;
    EXPECT_EQ(command.name(), "status");
    EXPECT_FALSE(command.standardHeaders());

    AgentState agent;
    agent.serverTcpPort = 5045;
    agent.streamDestinationUdpPort = 5046;
    agent.reflectorResponsePort = 5047;
    HttpRequest request(kInvalidSocket, 4044, false, "");
    FormVariables form;
    form.decodeQuery("verbose=1");  // ignored
    ResponseBuffer out;
    EXPECT_EQ(command.execute(request, form, out), 0);
    EXPECT_EQ(out.str(), "3.2\r\nready\r\n5045\r\n5046\r\n5047\r\n0\r\n");
}

TEST(StatusCommand, DefaultPortsWithoutAnAgent) {
    ASSERT_EQ(AgentState::current(), nullptr);
    EXPECT_EQ(StatusCommand::replyText(), "3.2\r\nready\r\n4045\r\n4046\r\n4047\r\n0\r\n");
}

}  // namespace
}  // namespace trellon
