// The Win32 backend of the platform layer, where it differs from POSIX in
// ways the agent would notice: the traffic-control data, the registry, child
// processes, half-closed connections, canonical paths. Runs under wine too;
// only the live traffic-control calls need a real Windows.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/file_system.h"
#include "platform/precise_sleep.h"
#include "platform/readiness.h"
#include "platform/settings_store.h"
#include "platform/socket.h"
#include "platform/traffic_control.h"
#include "platform/win32/tc_flow_data.h"
#include "platform/win32/win32_text.h"
#include "support/test_support.h"

namespace trellon::platform {
namespace {

std::uint32_t readU32(const unsigned char* at) {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

TcGenFlow markingFlow(int dscp, int priority) {
    TcGenFlow flow;
    flow.sendingFlowspec.serviceType = kServiceTypeBestEffort;
    flow.receivingFlowspec = flow.sendingFlowspec;
    if (priority >= 0 && priority <= 7)
        flow.tcObjects.push_back(
            {kQosObjectTrafficClass, 12, static_cast<std::uint32_t>(priority)});
    if (dscp >= 0 && dscp <= 63)
        flow.tcObjects.push_back({kQosObjectDsClass, 12, static_cast<std::uint32_t>(dscp)});
    flow.tcObjectsLength = static_cast<std::uint32_t>(flow.tcObjects.size() * 12);
    return flow;
}

TEST(Win32TrafficControl, FlowBytesCarryTheFlowspecsAndTheMarkingObjectsInOrder) {
    // Two FLOWSPECs of eight ULONGs, TcObjectsLength, then the objects.
    constexpr std::size_t kObjects = 2 * 32 + 4;
    static_assert(offsetof(TC_GEN_FLOW, TcObjects) == kObjects);

    win32::TcFlowData dscpOnly = win32::buildTcFlow(markingFlow(46, -1));
    ASSERT_EQ(dscpOnly.bytes, kObjects + 12);
    const unsigned char* b = dscpOnly.data();
    for (int spec = 0; spec < 2; ++spec) {
        for (int field = 0; field < 8; ++field) {
            const std::uint32_t expected = field == 5 ? SERVICETYPE_BESTEFFORT : QOS_NOT_SPECIFIED;
            EXPECT_EQ(readU32(b + spec * 32 + field * 4), expected) << spec << "/" << field;
        }
    }
    EXPECT_EQ(readU32(b + 64), 12u);
    EXPECT_EQ(readU32(b + kObjects), static_cast<std::uint32_t>(QOS_OBJECT_DS_CLASS));
    EXPECT_EQ(readU32(b + kObjects + 4), 12u);
    EXPECT_EQ(readU32(b + kObjects + 8), 46u);

    win32::TcFlowData both = win32::buildTcFlow(markingFlow(0, 0));
    ASSERT_EQ(both.bytes, kObjects + 24);
    b = both.data();
    EXPECT_EQ(readU32(b + 64), 24u);
    EXPECT_EQ(readU32(b + kObjects), static_cast<std::uint32_t>(QOS_OBJECT_TRAFFIC_CLASS));
    EXPECT_EQ(readU32(b + kObjects + 8), 0u);
    EXPECT_EQ(readU32(b + kObjects + 12), static_cast<std::uint32_t>(QOS_OBJECT_DS_CLASS));
    EXPECT_EQ(readU32(b + kObjects + 20), 0u);

    EXPECT_EQ(win32::buildTcFlow(markingFlow(64, -1)).bytes, kObjects);
}

TEST(Win32TrafficControl, FilterMatchesTheDestinationOrOnlyThePort) {
    TcGenFilter filter;
    filter.pattern.dstAddr = htonl(0x0A000002);  // 10.0.0.2
    filter.pattern.dstPort = htons(4047);
    filter.mask.reserved1 = filter.mask.reserved2 = 0xFFFFFFFF;
    filter.mask.dstAddr = 0xFFFFFFFF;
    filter.mask.dstPort = 0xFFFF;
    auto data = win32::buildTcFilter(filter);
    EXPECT_EQ(data->filter.AddressType, NDIS_PROTOCOL_ID_TCP_IP);
    EXPECT_EQ(data->filter.PatternSize, sizeof(IP_PATTERN));
    ASSERT_EQ(data->filter.Pattern, &data->pattern);
    ASSERT_EQ(data->filter.Mask, &data->mask);
    EXPECT_EQ(data->pattern.DstAddr, htonl(0x0A000002));
    EXPECT_EQ(data->pattern.S_un.S_un_ports.s_dstport, htons(4047));
    EXPECT_EQ(data->pattern.SrcAddr, 0u);
    EXPECT_EQ(data->pattern.ProtocolId, 0u);
    EXPECT_EQ(data->mask.Reserved1, 0xFFFFFFFFu);
    EXPECT_EQ(data->mask.Reserved2, 0xFFFFFFFFu);
    EXPECT_EQ(data->mask.DstAddr, 0xFFFFFFFFu);
    EXPECT_EQ(data->mask.S_un.S_un_ports.s_dstport, 0xFFFF);
    EXPECT_EQ(data->mask.S_un.S_un_ports.s_srcport, 0);
    EXPECT_EQ(data->mask.SrcAddr, 0u);

    TcGenFilter anyAddress;
    anyAddress.pattern.dstPort = htons(4045);
    anyAddress.mask.dstPort = 0xFFFF;
    auto any = win32::buildTcFilter(anyAddress);
    EXPECT_EQ(any->pattern.DstAddr, 0u);
    EXPECT_EQ(any->mask.DstAddr, 0u);
}

TEST(Win32TrafficControl, WithoutTrafficControlTheAddFailsAndNothingIsInstalled) {
    if (!win32::runningUnderWine())
        GTEST_SKIP() << "a real Windows: the live calls need the packet scheduler and rights";
    // Wine's traffic.dll refuses the registration and aborts the process on
    // every later call: getting here at all means none was made.
    TcGenFilter filter;
    filter.mask.dstPort = 0xFFFF;
    filter.pattern.dstPort = htons(4047);
    TcError error = TcError::badFlow;
    EXPECT_EQ(tcAddFlow(markingFlow(46, -1), filter, &error), kNoFlow);
    EXPECT_EQ(error, TcError::unavailable);
    EXPECT_FALSE(tcClientRegistered());
    EXPECT_TRUE(tcInstalledFlows().empty());
    tcDeregisterClient();
}

// A key of its own below HKLM, removed at the end.
class Win32SettingsStore : public ::testing::Test {
protected:
    std::string key_ = "Software\\Trellon-test-" + std::to_string(::GetCurrentProcessId());
    void TearDown() override { SettingsStore(key_).remove(); }
};

TEST_F(Win32SettingsStore, TheRegistryKeyHoldsAnyTextUpTo127Characters) {
    EXPECT_EQ(SettingsStore::defaultPath().rfind("Software\\Kestrova\\ostrand\\agent\\", 0), 0u);
    SettingsStore store(key_);
    EXPECT_FALSE(store.openFullAccess());
    bool created = false;
    ASSERT_TRUE(store.create(created));
    EXPECT_TRUE(created);
    ASSERT_TRUE(store.create(created));
    EXPECT_FALSE(created);
    EXPECT_TRUE(store.openFullAccess());

    const std::string tricky = "a=b\\c\nline two\r\nend";
    ASSERT_TRUE(store.writeValues({{"controlPort", "4044"},
                                   {"tricky", tricky},
                                   {"empty", ""},
                                   {"ok", std::string(127, 'x')},
                                   {"long", std::string(128, 'y')}}));
    std::string value;
    ASSERT_TRUE(store.readValue("tricky", value));
    EXPECT_EQ(value, tricky);
    ASSERT_TRUE(store.readValue("empty", value));
    EXPECT_EQ(value, "");
    ASSERT_TRUE(store.readValue("ok", value));
    EXPECT_EQ(value.size(), 127u);
    EXPECT_FALSE(store.readValue("long", value));
    EXPECT_FALSE(store.readValue("missing", value));

    ASSERT_TRUE(store.writeValues({{"controlPort", "5000"}}));
    ASSERT_TRUE(store.readValue("controlPort", value));
    EXPECT_EQ(value, "5000");
    ASSERT_TRUE(store.readValue("tricky", value));
    EXPECT_EQ(value, tricky);

    // Refused before the first value is written: the key keeps every old value.
    SettingsStore::setBeforeRenameHook([] { return false; });
    EXPECT_FALSE(store.writeValues({{"controlPort", "9999"}}));
    SettingsStore::setBeforeRenameHook({});
    ASSERT_TRUE(store.readValue("controlPort", value));
    EXPECT_EQ(value, "5000");

    // Deleted with whatever lies below it.
    SettingsStore below(key_ + "\\below");
    ASSERT_TRUE(below.create(created));
    EXPECT_TRUE(store.remove());
    EXPECT_FALSE(store.openFullAccess());
    EXPECT_FALSE(below.openFullAccess());
    EXPECT_FALSE(store.remove());
}

TEST(Win32ChildProcess, OutputExitCodesAndTheEnvironmentComeThrough) {
    auto run = [](const std::vector<std::string>& arguments, std::vector<std::string> environment,
                  std::string& output) {
        ChildProcess child;
        std::string reason;
        ChildProcess::Launch launch{arguments, std::move(environment), ""};
        if (!child.start(launch, &reason)) {
            ADD_FAILURE() << "start: " << reason;
            return -1;
        }
        char buffer[256];
        for (int round = 0; round < 2000; ++round) {
            std::size_t got = 0;
            auto outcome = child.read(ChildStream::output, buffer, sizeof(buffer), 5000, got);
            if (outcome == ChildProcess::ReadOutcome::data) output.append(buffer, got);
            if (outcome != ChildProcess::ReadOutcome::data &&
                outcome != ChildProcess::ReadOutcome::timeout)
                break;
        }
        EXPECT_TRUE(child.waitForExit(10000));
        EXPECT_TRUE(child.hasExited());
        return child.reap();
    };
    std::vector<std::string> environment = processEnvironment();
    ASSERT_FALSE(environment.empty());
    for (const std::string& entry : environment) EXPECT_NE(entry.front(), '=') << entry;

    std::string output;
    environment.push_back("TRELLON_VALUE=a b&c");
    EXPECT_EQ(run({"cmd.exe", "/c", "echo", "[%TRELLON_VALUE%]"}, environment, output), 0);
    EXPECT_NE(output.find("[a b&c]"), std::string::npos) << output;

    // 259 is STILL_ACTIVE: a child that exits with it has still ended.
    output.clear();
    EXPECT_EQ(run({"cmd.exe", "/c", "exit", "259"}, processEnvironment(), output), 259);
    output.clear();
    EXPECT_EQ(run({"cmd.exe", "/c", "exit", "3"}, processEnvironment(), output), 3);

    ChildProcess missing;
    std::string reason;
    EXPECT_FALSE(missing.start({{"no-such-program-here"}, {}, ""}, &reason));
    EXPECT_FALSE(reason.empty());
}

TEST(Win32Sockets, AHalfClosedPeerReadsAsEndOfStreamAndCanStillBeAnswered) {
    NativeSocket listener = openSocket(false);
    ASSERT_NE(listener, kNoSocket);
    ASSERT_TRUE(bindSocket(listener, ipv4Address(htonl(INADDR_LOOPBACK), 0)));
    ASSERT_TRUE(listenSocket(listener));
    NativeSocket client = openSocket(false);
    ASSERT_TRUE(connectSocket(
        client,
        ipv4Address(htonl(INADDR_LOOPBACK), static_cast<std::uint16_t>(localPort(listener)))));
    NativeSocket server = kNoSocket;
    sockaddr_in peer{};
    ASSERT_EQ(acceptSocket(listener, true, server, peer), AcceptOutcome::accepted);

    // A client that sends its request and shuts its sending side, as nc does.
    ASSERT_EQ(sendSome(client, "GET /", 5, false), 5);
    shutdownSocket(client, ShutdownHow::send);
    Readiness readiness;
    ASSERT_TRUE(readiness.valid());
    ASSERT_TRUE(readiness.watch(server, Readiness::kReadable));
    std::vector<Readiness::Event> events;
    std::string request;
    char buffer[64];
    for (int round = 0; round < 20; ++round) {
        ASSERT_GE(readiness.wait(events, 5000), 1);
        ASSERT_EQ(events[0].handle, server);
        EXPECT_EQ(events[0].events & (Readiness::kHangup | Readiness::kError), 0u);
        long n = receiveSome(server, buffer, sizeof(buffer), true);
        if (n == 0) break;
        if (n > 0) request.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(request, "GET /");
    EXPECT_EQ(sendSome(server, "reply", 5, false), 5);
    shutdownSocket(server, ShutdownHow::send);
    std::string reply;
    for (int round = 0; round < 20; ++round) {
        ASSERT_GT(waitFor(client, Readiness::kReadable, 5000), 0);
        long n = receiveSome(client, buffer, sizeof(buffer), false);
        if (n <= 0) break;
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(reply, "reply");

    // A woken wait returns at once with nothing.
    readiness.forget(server);
    readiness.wake();
    EXPECT_EQ(readiness.wait(events, 5000), 0);
    for (NativeSocket s : {client, server, listener}) closeSocket(s);
}

TEST(Win32Paths, CanonicalPathsUseOneSeparatorSoPrefixesCompare) {
    trellon::testing::TempDir dir;
    const std::string file = dir.path() + "\\sub\\..\\page.htm";
    trellon::testing::writeFile(dir.path() + "\\page.htm", "x");
    const std::string root = canonicalPath(dir.path());
    const std::string real = canonicalPath(file);
    ASSERT_FALSE(root.empty());
    EXPECT_EQ(root.find('\\'), std::string::npos) << root;
    EXPECT_EQ(real, root + "/page.htm");
    EXPECT_EQ(canonicalPath(dir.path() + "\\missing.htm"), "");
    EXPECT_EQ(fileKind(real), FileKind::regular);
    EXPECT_EQ(fileKind(root), FileKind::directory);
    const auto names = listDirectory(root);
    EXPECT_EQ(names, std::vector<std::string>{"page.htm"});
    EXPECT_GT(modificationTime(real), 1600000000);
}

TEST(Win32Clock, TheCounterIsInNanosecondsAndTheWaitReachesItsDeadline) {
    const WallClock wall = wallClock();
    EXPECT_NEAR(static_cast<double>(wall.seconds), static_cast<double>(std::time(nullptr)), 2.0);
    EXPECT_GE(wall.microseconds, 0);
    EXPECT_LT(wall.microseconds, 1000000);
    useFineTimerSlack();
    const std::uint64_t start = monotonicTicks();
    const std::uint64_t deadline = start + 30 * kTicksPerMillisecond;
    sleepUntilTicks(deadline);
    const std::uint64_t end = monotonicTicks();
    useDefaultTimerSlack();
    EXPECT_GE(end, deadline);
    EXPECT_LT(end - start, 1000 * kTicksPerMillisecond);
}

}  // namespace
}  // namespace trellon::platform

#endif  // _WIN32
