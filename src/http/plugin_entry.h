// What the first page and the test records need to know of a plug-in; the
// plug-in definitions implement it.
#pragma once

#include <atomic>
#include <string>

namespace trellon {

class PluginEntry {
public:
    virtual ~PluginEntry() = default;

    virtual const std::string& pluginName() const = 0;
    virtual std::string menu() const = 0;
    virtual std::string menuHelp() const = 0;
    virtual int menuOrder() const = 0;
    virtual bool invisible() const = 0;

    // 0-based place among the visible plug-ins, rewritten each time the first
    // page builds its menu.
    std::atomic<int> menuPosition{0};
};

}  // namespace trellon
