// Two trellon agents in lab hosts a and b, for tests of what passes between
// agents:
//
//   class Mine : public LabAgents {};
//   TEST_F(Mine, Something) {
//       NETLAB_SKIP_UNLESS_AVAILABLE();
//       startThroughRelay(RelayConfig::both(path));  // or startDirect()
//       int id = response::startResponseTest(a_, b_.address(), 10, 50, 10);
//       ... relay_.stats() ...
//   }
//
// Both agents start at once (each pauses for its start-up) and the test goes
// on once both listen; at the end both are told to stop at once, before the
// lab goes.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "support/netlab.h"
#include "support/netlab_agent.h"

namespace trellon::netlab {

class LabAgents : public ::testing::Test {
protected:
    // a and b joined through the impairment relay (relay_), their agents started.
    void startThroughRelay(const RelayConfig& config = {});
    // a and b joined directly (link_), their agents started.
    void startDirect(const LinkOptions& options = {});
    // The lab with hosts a and b, not joined: for a test that lays its own
    // links. A lab made before, and its agents, go first.
    void makeHosts();
    // Starts both agents and waits until both listen.
    void startAgents(AgentOptions optionsA = {}, AgentOptions optionsB = {});
    // Stops both agents at once, then removes the lab.
    void removeLab();
    void TearDown() override { removeLab(); }

    std::unique_ptr<Lab> lab_;
    Host a_, b_;
    Link link_;
    RelayLink relay_;
    std::unique_ptr<AgentProcess> agentA_, agentB_;
};

}  // namespace trellon::netlab
