// The streaming figures' percentage of missing packets: of the whole stream.
#include <gtest/gtest.h>

#include <string>

#include "results/test_result.h"

namespace trellon {
namespace {

std::string finalText(const StreamReportFigures& figures) {
    TestResult record(1, LocalEndpoint{"a", "a", 1});
    record.setState(TestResult::kRunning);
    record.finishStream(figures, Timestamp::now());
    return record.getFinalResults();
}

TEST(StreamFiguresTest, MissingPacketsAreAShareOfTheWholeStream) {
    struct Case {
        int received, duplicate, late, dropped;
        const char* percent;
    } cases[] = {
        // Half the stream lost: 500 of 1000, not 500 of the 500 that came.
        {500, 0, 0, 500, "<b> 50.0</b>"},
        // 10 of 1000 missing, duplicates and late arrivals not counted twice.
        {990, 0, 0, 10, "<b>  1.0</b>"},
        {1000, 5, 5, 10, "<b>  1.0</b>"},
        // Everything but one packet lost.
        {1, 0, 0, 99, "<b> 99.0</b>"},
    };
    for (const auto& c : cases) {
        StreamReportFigures figures;
        figures.packetCount = c.received;
        figures.duplicate = c.duplicate;
        figures.late = c.late;
        figures.dropped = c.dropped;
        figures.bufferSize = 10;
        std::string text = finalText(figures);
        EXPECT_NE(text.find("amounting to " + std::string(c.percent) + " percent"),
                  std::string::npos)
            << c.received << " " << c.dropped << ": " << text;
    }
}

}  // namespace
}  // namespace trellon
