#include "results/voice_quality.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "results/test_result.h"

namespace trellon {
namespace {

TEST(VoiceQuality, TheRecommendationsReferencePoints) {
    // G.107: the default values give R = 93.2.
    EXPECT_NEAR(VoiceQuality::basicRating(), 93.2, 0.05);
    VoiceQuality none = VoiceQuality::of(0, 0);
    EXPECT_NEAR(none.rating, 93.2, 0.05);
    EXPECT_NEAR(none.mos, 4.41, 0.005);
    // G.107 Annex B, Figure B.1 / Table B.1: MOS against R.
    struct Point {
        double rating, mos;
    } points[] = {{0, 1.0},   {-5, 1.0},  {50, 2.58}, {60, 3.10}, {70, 3.60},
                  {80, 4.02}, {90, 4.34}, {100, 4.5}, {120, 4.5}};
    for (const auto& p : points)
        EXPECT_NEAR(VoiceQuality::mosFromRating(p.rating), p.mos, 0.005) << p.rating;
    // Ie,eff: G.711 with its Appendix I concealment, random loss.
    EXPECT_DOUBLE_EQ(VoiceQuality::equipmentImpairment(0), 0.0);
    EXPECT_NEAR(VoiceQuality::equipmentImpairment(1), 95.0 / 26.1, 1e-9);
    EXPECT_NEAR(VoiceQuality::equipmentImpairment(100), 95.0 * 100 / 125.1, 1e-9);
}

TEST(VoiceQuality, DelayCostsLittleBelowAHundredMillisecondsAndMuchBeyond) {
    // Idd starts at Ta = 100 ms; below it only the echo terms cost anything.
    double at40 = VoiceQuality::of(40, 0).rating;
    double at100 = VoiceQuality::of(100, 0).rating;
    double at200 = VoiceQuality::of(200, 0).rating;
    double at400 = VoiceQuality::of(400, 0).rating;
    EXPECT_NEAR(at40, 92.0, 0.05);
    EXPECT_NEAR(at100, 90.66, 0.05);
    EXPECT_NEAR(at200, 85.80, 0.05);
    EXPECT_GT(at100 - at200, 2 * (at40 - at100));
    EXPECT_LT(at400, at200);
    // 1 % loss and 40 ms: R = 92.0 - 95 / 26.1.
    VoiceQuality lossy = VoiceQuality::of(40, 1);
    EXPECT_NEAR(lossy.rating, at40 - 95.0 / 26.1, 1e-9);
    EXPECT_NEAR(lossy.mos, VoiceQuality::mosFromRating(lossy.rating), 1e-12);
}

TEST(VoiceQuality, NonsenseInputsGiveARatingInRange) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double delay : {-10.0, nan, inf, 1e12}) {
        for (double loss : {-1.0, nan, inf, 1000.0}) {
            VoiceQuality q = VoiceQuality::of(delay, loss);
            EXPECT_TRUE(q.rating >= 0 && q.rating <= 100) << delay << " " << loss;
            EXPECT_TRUE(q.mos >= 1 && q.mos <= 4.5) << delay << " " << loss;
        }
    }
}

// The voice stream's record: the jitter buffer's delay plus the network's,
// and the page's loss figure, give the R and MOS in the XML and on the page.
TEST(VoiceQualityRecord, VoiceStreamsAndResponseTestsCarryRAndMos) {
    TestResult stream(1, LocalEndpoint{"here", "10.0.0.1", 4044});
    stream.setStreamKind(TestResult::kVoiceStream);
    stream.setBufferDuration(200);
    stream.setState(TestResult::kRunning);
    StreamReportFigures figures;
    figures.packetCount = 990;
    figures.dropped = 10;
    figures.oneWayDelayUs = 40000;
    figures.bufferSize = 10;
    stream.finishStream(figures, Timestamp{1000, 0});
    VoiceQuality expected = VoiceQuality::of(240, 1.0);
    std::string xml = stream.xmlDocument();
    char r[32], mos[32];
    std::snprintf(r, sizeof(r), "<rFactor>%.1f</rFactor>", expected.rating);
    std::snprintf(mos, sizeof(mos), "<mos>%.2f</mos>", expected.mos);
    EXPECT_NE(xml.find(r), std::string::npos) << xml;
    EXPECT_NE(xml.find(mos), std::string::npos) << xml;
    EXPECT_NE(xml.find("<eModelDelay>240.000</eModelDelay>"), std::string::npos) << xml;
    EXPECT_NE(xml.find("<eModelLoss>1.000</eModelLoss>"), std::string::npos) << xml;
    EXPECT_NE(stream.getExtraHtml().find("Voice quality (ITU-T G.107 E-model, G.711): R <b>"),
              std::string::npos);

    // A video stream gets none.
    TestResult video(2, LocalEndpoint{"here", "10.0.0.1", 4044});
    video.setStreamKind(TestResult::kVideoStream);
    video.setState(TestResult::kRunning);
    video.finishStream(figures, Timestamp{1000, 0});
    EXPECT_EQ(video.xmlDocument().find("<rFactor>"), std::string::npos);

    // A response test: estimated from its microsecond mean and its loss.
    TestResult response(3, LocalEndpoint{"here", "10.0.0.1", 4044});
    response.setState(TestResult::kRunning);
    for (int i = 0; i < 4; ++i) response.addPacketSent();
    for (int i = 0; i < 3; ++i) {
        response.addPacketReceived();
        response.addResponseFigures(300000, 0, 1000);  // 150 ms each way
    }
    response.finishResponse();
    expected = VoiceQuality::of(150, 25);
    xml = response.xmlDocument();
    std::snprintf(r, sizeof(r), "<rFactor>%.1f</rFactor>", expected.rating);
    EXPECT_NE(xml.find(r), std::string::npos) << xml;
    EXPECT_NE(response.getExtraHtml().find("Estimated voice quality"), std::string::npos);
}

}  // namespace
}  // namespace trellon
