#include "commands/built_in_commands.h"

#include <memory>

#include "commands/cancel_command.h"
#include "commands/first_page_command.h"
#include "commands/metrics_command.h"
#include "commands/plugin_commands.h"
#include "commands/results_page.h"
#include "commands/run_bandwidth_command.h"
#include "commands/run_cancel_command.h"
#include "commands/run_response_command.h"
#include "commands/run_settings_command.h"
#include "commands/run_streaming_command.h"
#include "commands/settings_command.h"
#include "commands/show_debug_command.h"
#include "commands/show_results_command.h"
#include "commands/show_status_command.h"
#include "commands/test_command.h"
#include "http/http_server.h"
#include "nettests/start_stream_server_command.h"
#include "nettests/status_command.h"

// Each command lives in its own file; register it here, in the order of the
// command table (index.htm, collectTestParams, bandwidth, response,
// streaming, startStreamServer, status, results, showstatus, bandwidthpage,
// responsepage, streamingpage, runsettingscommand, settings, cancel,
// cancelCommand, debug). A name registered twice keeps its first command.

namespace trellon {

void registerBuiltInCommands(HttpServer& server) {
    server.registerCommand(std::make_unique<FirstpageCommand>());
    server.registerCommand(std::make_unique<CollectTestParamsCommand>());
    server.registerCommand(std::make_unique<StartStreamServerCommand>());
    server.registerCommand(std::make_unique<StatusCommand>());
    server.registerCommand(std::make_unique<ShowStatusCommand>());
    server.registerCommand(std::make_unique<BandwidthCommand>());
    server.registerCommand(std::make_unique<ResponseCommand>());
    server.registerCommand(std::make_unique<StreamingCommand>());
    server.registerCommand(std::make_unique<RunSettingsCommand>());
    server.registerCommand(std::make_unique<SettingsCommand>());
    server.registerCommand(std::make_unique<CancelCommand>());
    server.registerCommand(std::make_unique<RunCancelCommand>());
    server.registerCommand(std::make_unique<ShowDebugCommand>());
    server.registerCommand(std::make_unique<RunResponseCommand>());
    server.registerCommand(std::make_unique<RunStreamingCommand>());
    server.registerCommand(std::make_unique<RunBandwidthCommand>());
    server.registerCommand(std::make_unique<ShowResultsCommand>(&renderResultsPage));
    server.registerCommand(std::make_unique<MetricsCommand>());
    // Last: a plug-in cannot take the name of a built-in command.
    registerPluginCommands(server);
}

}  // namespace trellon
