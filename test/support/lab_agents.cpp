#include "support/lab_agents.h"

namespace trellon::netlab {

void LabAgents::makeHosts() {
    removeLab();
    lab_ = std::make_unique<Lab>();
    a_ = lab_->addHost("a");
    b_ = lab_->addHost("b");
}

void LabAgents::startThroughRelay(const RelayConfig& config) {
    makeHosts();
    relay_ = lab_->connectThroughRelay(a_, b_, config);
    startAgents();
}

void LabAgents::startDirect(const LinkOptions& options) {
    makeHosts();
    link_ = lab_->connect(a_, b_, options);
    startAgents();
}

void LabAgents::startAgents(AgentOptions optionsA, AgentOptions optionsB) {
    optionsA.waitUntilReady = false;
    optionsB.waitUntilReady = false;
    agentA_ = std::make_unique<AgentProcess>(a_, optionsA);
    agentB_ = std::make_unique<AgentProcess>(b_, optionsB);
    ASSERT_TRUE(agentA_->waitUntilReady());
    ASSERT_TRUE(agentB_->waitUntilReady());
}

void LabAgents::removeLab() {
    // Both pause for their shutdown at once.
    if (agentA_) agentA_->requestStop();
    if (agentB_) agentB_->requestStop();
    agentA_.reset();
    agentB_.reset();
    lab_.reset();
}

}  // namespace trellon::netlab
