// The voice stream's E-model figures between two real agents in lab hosts:
// the stream crosses the relay with 40 ms of delay and 1 % loss, and the R
// and MOS in its record are what ITU-T G.107's formulas give for the delay
// and loss the record names.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "results/voice_quality.h"
#include "support/lab_agents.h"
#include "support/response_test_helpers.h"

namespace trellon::netlab {
namespace {

using namespace std::chrono_literals;
using response::element;
using response::waitUntilDone;

class VoiceQualityLab : public LabAgents {};

TEST_F(VoiceQualityLab, AVoiceStreamGetsTheRatingTheFormulasGive) {
    NETLAB_SKIP_UNLESS_AVAILABLE();
    RelayConfig config;
    config.bToA.delayMs = 40;  // the stream goes from b to a
    config.bToA.loss = 0.01;
    startThroughRelay(config);

    ASSERT_EQ(response::startTest(a_, "streaming",
                                  "remoteComputer=" + b_.address() +
                                      "&StreamTypeOption=voip&timeLimit=20&reportInterval=5"),
              1);
    std::string xml = waitUntilDone(a_, 1, 50s, 200ms);
    ASSERT_EQ(element(xml, "done"), "1") << xml;
    const std::string delay = element(xml, "eModelDelay");
    const std::string loss = element(xml, "eModelLoss");
    // The formulas themselves are checked against G.107's reference points
    // in the unit tests; here, that the record's figures are theirs for the
    // delay and loss the record names.
    VoiceQuality quality = VoiceQuality::of(std::stod(delay), std::stod(loss));
    char expected[64];
    std::snprintf(expected, sizeof expected, "%.1f %.2f", quality.rating, quality.mos);
    std::string got = element(xml, "rFactor") + " " + element(xml, "mos");
    std::printf("voice stream through 40 ms and 1%% loss: delay %s ms, loss %s%%, R and MOS %s\n",
                delay.c_str(), loss.c_str(), got.c_str());
    EXPECT_EQ(got, expected) << xml;
    // The stream lost about what the relay dropped, and the delay is the
    // player's buffer (200 ms for voice) plus the 40 ms of the one way the
    // stream took: the clocks agree here, so not half the round trip.
    double lossPercent = std::stod(loss);
    EXPECT_GT(lossPercent, 0.2) << xml;
    EXPECT_LT(lossPercent, 2.5) << xml;
    EXPECT_NEAR(std::stod(delay), 240.0, 2.0) << xml;
}

}  // namespace
}  // namespace trellon::netlab
