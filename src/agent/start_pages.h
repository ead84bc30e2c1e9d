// The start page files written from their ".original" templates at install
// and at every start.
#pragma once

namespace trellon {

class PerformanceAgent;

// True when both files were handled, false when an exception ended the work.
bool writeStartHtml(PerformanceAgent& agent);

}  // namespace trellon
