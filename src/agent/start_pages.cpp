#include "agent/start_pages.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <stdexcept>

#include "agent/performance_agent.h"
#include "http/templates.h"
#include "lib/log.h"

namespace trellon {

namespace {

// Reads a ".original" template from disk; a missing template is an error of
// the installation, reported through the exception path.
ResponseBuffer readTemplate(const std::string& path) {
    ResponseBuffer page;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("missing template " + path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    page.append(text);
    return page;
}

// Written beside the target and renamed over it, so the web server (and a
// stop in the middle) never meets a half-written page.
void writeTarget(const std::string& target, const ResponseBuffer& page) {
    std::lock_guard<std::mutex> writing(agentFileWriteLock());
    std::string temporary = target + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            std::printf("File open for file %s failed\n", target.c_str());
            return;
        }
        out.write(page.data(), static_cast<std::streamsize>(page.size()));
        out.close();
        if (!out) {
            std::printf("File open for file %s failed\n", target.c_str());
            std::remove(temporary.c_str());
            return;
        }
    }
    if (std::rename(temporary.c_str(), target.c_str()) != 0) {
        std::printf("File open for file %s failed\n", target.c_str());
        std::remove(temporary.c_str());
    }
}

std::string portMessage(int port) {
    if (port == 4044) return "Port number 4044 for HTTP port.\n";
    return std::string("The default port number of ") + "4044" + " was found to be in use by another program. \n" +
           "Did you forget to uninstall an older version of Trellon (or Ostrand) first?\n" +
           "We picked a new port number of " + std::to_string(port) +
           " for you.\nUse this when ever you need to use this Trellon computer.\n";
}

}  // namespace

bool writeStartHtml(PerformanceAgent& agent) {
    agent.appendStatus("writeStartHtml()\n");
    try {
        std::string folder = agent.htdocsPath();
        if (!folder.empty() && folder.back() != '/') folder += '/';
        std::string portText = std::to_string(std::atoi(agent.parameters().text("controlPort").c_str()));
        std::string host = hostName();

        std::string target = folder + "trl_install_url.htm";
        std::string source = target + ".original";
        agent.appendStatus("Making file:\n" + target + "\nFrom \n" + source + "\n");
        ResponseBuffer page = readTemplate(source);
        replaceKey(page, "$hostName", host);
        replaceKey(page, "$portNumber", portText);
        std::string message = portMessage(std::atoi(portText.c_str()));
        agent.appendStatus(message);
        replaceKey(page, "$message", message);
        writeTarget(target, page);
        agent.appendStatus("Made new file: " + target + "\nWrote new file\n" + target +
                           "\nto reflect current host name of " + host + " and control port of " + portText + "\n");

        target = folder + "trellon.htm";
        source = target + ".original";
        agent.appendStatus("Read source file\n" + source + "\n");
        ResponseBuffer start = readTemplate(source);
        replaceKey(start, "$portNumber", portText);
        writeTarget(target, start);
        agent.appendStatus("\nWrote new file\n" + target + "\nto access Trellon on this computer.\n");
        return true;
    } catch (...) {
        logLine("\nUnexpected exception in writeStartHTM, probably due to missing text files in installer");
        return false;
    }
}

}  // namespace trellon
