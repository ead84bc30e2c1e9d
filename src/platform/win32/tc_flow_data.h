// The data the Windows traffic-control calls take, built from the layer's
// own flow and filter description: the TC_GEN_FLOW bytes for TcAddFlow (the
// structure with its marking objects after it) and the TC_GEN_FILTER with
// its IP_PATTERN pattern and mask for TcAddFilter. Pure functions, so the
// bytes can be checked where the calls themselves cannot be made.
#pragma once

// Order matters: winsock2 before windows, both before the QoS headers.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <ntddndis.h>
#include <qos.h>
#include <traffic.h>
// clang-format on

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/traffic_control.h"

namespace trellon::platform::win32 {

// A TC_GEN_FLOW followed by its marking objects, as one block (TcObjects
// is a variable-length tail). Aligned for the structure.
struct TcFlowData {
    std::vector<std::uint64_t> storage;
    std::size_t bytes = 0;
    TC_GEN_FLOW* flow() { return reinterpret_cast<TC_GEN_FLOW*>(storage.data()); }
    const unsigned char* data() const {
        return reinterpret_cast<const unsigned char*>(storage.data());
    }
};
TcFlowData buildTcFlow(const TcGenFlow& flow);

// The filter points at its own pattern and mask, so it lives where it was
// made (no copies).
struct TcFilterData {
    TC_GEN_FILTER filter{};
    IP_PATTERN pattern{};
    IP_PATTERN mask{};
    TcFilterData() = default;
    TcFilterData(const TcFilterData&) = delete;
    TcFilterData& operator=(const TcFilterData&) = delete;
};
std::unique_ptr<TcFilterData> buildTcFilter(const TcGenFilter& filter);

}  // namespace trellon::platform::win32
