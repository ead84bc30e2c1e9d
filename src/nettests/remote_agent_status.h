#pragma once

namespace trellon {

// Frees every cached remote-agent status (agent shutdown).
void emptyRemoteAgentCache();

}  // namespace trellon
