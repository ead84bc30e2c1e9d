// The program's modes: run the agent, or install, uninstall and reinstall
// its settings.
#pragma once

#include <string>

namespace trellon {

// main's work; returns 0 in every case.
int agentMain(int argc, char** argv);

void runMode(const std::string& workingDirectory);
void installMode(const std::string& workingDirectory);
void uninstallMode(const std::string& workingDirectory);
void removeOldServices();

}  // namespace trellon
