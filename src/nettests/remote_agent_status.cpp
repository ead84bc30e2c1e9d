#include "nettests/remote_agent_status.h"

namespace trellon {

void emptyRemoteAgentCache() {}

}  // namespace trellon
