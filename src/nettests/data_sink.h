// The bandwidth data sink: what the data-sink listener does with each
// accepted connection.
#pragma once

namespace trellon {

// Installs the listener's connection handler. Call before the listener starts.
void installDataSinkHandler();

}  // namespace trellon
