// The voice stream's E-model figures between two real agents in lab hosts:
// the stream crosses the relay with 40 ms of delay and 1 % loss, and the R
// and MOS in its record are what ITU-T G.107's formulas give for the delay
// and loss the record names, worked out here again independently (python).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "support/netlab.h"
#include "support/netlab_agent.h"
#include "support/response_test_helpers.h"
#include "support/test_support.h"

namespace trellon::netlab {
namespace {

using namespace std::chrono_literals;
using response::element;
using response::httpGet;
using response::waitUntilDone;

// G.107 with its default values, G.711 with Appendix I concealment (Ie 0,
// Bpl 25.1), random loss; prints R and MOS.
constexpr const char* kEModel = R"PY(
import math, sys
lg = math.log10
SLR, RLR, STMR, LSTR, Ds, TELR, WEPL, qdu, Nc, Nfor, Ps, Pr = 8, 2, 15, 18, 3, 65, 110, 1, -70, -64, 35, 35
T = float(sys.argv[1]); Ppl = float(sys.argv[2]); Tr = 2 * T; Ta = T
OLR = SLR + RLR
Nos = Ps - SLR - Ds - 100 + 0.004 * (Ps - OLR - Ds - 14) ** 2
Pre = Pr + 10 * lg(1 + 10 ** ((10 - LSTR) / 10))
Nor = RLR - 121 + Pre + 0.008 * (Pre - 35) ** 2
No = 10 * lg(10 ** (Nc / 10) + 10 ** (Nos / 10) + 10 ** (Nor / 10) + 10 ** ((Nfor + RLR) / 10))
Ro = 15 - 1.5 * (SLR + No)
Xolr = OLR + 0.2 * (64 + No - RLR)
Iolr = 20 * ((1 + (Xolr / 8) ** 8) ** (1 / 8) - Xolr / 8)
S = -10 * lg(10 ** (-STMR / 10) + math.exp(-T / 4) * 10 ** (-TELR / 10))
Ist = 12 * (1 + ((S - 13) / 6) ** 8) ** (1 / 8) - 28 * (1 + ((S + 1) / 19.4) ** 35) ** (1 / 35) \
    - 13 * (1 + ((S - 3) / 33) ** 13) ** (1 / 13) + 29
Q = 37 - 15 * lg(qdu); G = 1.07 + 0.258 * Q + 0.0602 * Q * Q
Iq = 15 * lg(1 + 10 ** ((Ro - 100) / 15 + 46 / 8.4 - G / 9) + 10 ** (46 / 30 - G / 40))
Is = Iolr + Ist + Iq
Roe = -1.5 * (No - RLR)
TERV = TELR - 40 * lg((1 + T / 10) / (1 + T / 150)) + 6 * math.exp(-0.3 * T * T)
Re = 80 + 2.5 * (TERV - 14)
Idte = ((Roe - Re) / 2 + math.sqrt((Roe - Re) ** 2 / 4 + 100) - 1) * (1 - math.exp(-T))
Rle = 10.5 * (WEPL + 7) * (Tr + 1) ** -0.25
Idle = (Ro - Rle) / 2 + math.sqrt((Ro - Rle) ** 2 / 4 + 169)
Idd = 0
if Ta > 100:
    X = lg(Ta / 100) / lg(2)
    Idd = 25 * ((1 + X ** 6) ** (1 / 6) - 3 * (1 + (X / 3) ** 6) ** (1 / 6) + 2)
Ie = 95 * Ppl / (Ppl + 25.1)
R = min(max(Ro - Is - (Idte + Idle + Idd) - Ie, 0), 100)
M = 1 if R <= 0 else 4.5 if R >= 100 else 1 + 0.035 * R + R * (R - 60) * (100 - R) * 7e-6
print("%.1f %.2f" % (R, M))
)PY";

TEST(VoiceQualityLab, AVoiceStreamGetsTheRatingTheFormulasGive) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    Lab lab;
    Host a = lab.addHost("a");
    Host b = lab.addHost("b");
    RelayConfig config;
    config.bToA.delayMs = 40;  // the stream goes from b to a
    config.bToA.loss = 0.01;
    lab.connectThroughRelay(a, b, config);
    AgentOptions options;
    options.waitUntilReady = false;
    AgentProcess agentA(a, options);
    AgentProcess agentB(b, options);
    ASSERT_TRUE(agentA.waitUntilReady());
    ASSERT_TRUE(agentB.waitUntilReady());

    std::string answer = httpGet(a, "/streaming?remoteComputer=" + b.address() +
                                        "&StreamTypeOption=voip&timeLimit=20&reportInterval=5"
                                        "&refreshInterval=5&format=xml");
    ASSERT_NE(answer.find("/results?id=1&format=xml"), std::string::npos) << answer;
    std::string xml = waitUntilDone(a, 1, 50s, 200ms);
    ASSERT_EQ(element(xml, "done"), "1") << xml;
    const std::string delay = element(xml, "eModelDelay");
    const std::string loss = element(xml, "eModelLoss");
    testing::TempDir dir;
    testing::writeFile(dir.file("emodel.py"), kEModel);
    std::string expected;
    ASSERT_EQ(testing::runCommand("python3 " + dir.file("emodel.py") + " " + delay + " " + loss,
                                  &expected),
              0)
        << expected << xml;
    std::string got = element(xml, "rFactor") + " " + element(xml, "mos") + "\n";
    std::printf("voice stream through 40 ms and 1%% loss: delay %s ms, loss %s%%, R and MOS %s",
                delay.c_str(), loss.c_str(), got.c_str());
    EXPECT_EQ(got, expected) << xml;
    // The stream lost about what the relay dropped, and the player's buffer
    // (200 ms for voice) is part of the delay.
    double lossPercent = std::stod(loss);
    EXPECT_GT(lossPercent, 0.2) << xml;
    EXPECT_LT(lossPercent, 2.5) << xml;
    EXPECT_GE(std::stod(delay), 200.0) << xml;
    agentA.requestStop();
    agentB.requestStop();
}

}  // namespace
}  // namespace trellon::netlab
