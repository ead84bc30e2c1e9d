#include "agent/start_pages.h"

#include "agent/performance_agent.h"

namespace trellon {

bool writeStartHtml(PerformanceAgent& agent) {
    agent.appendStatus("writeStartHtml()\n");
    return true;
}

}  // namespace trellon
