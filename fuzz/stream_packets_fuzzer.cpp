// The stream client's handling of what arrives on its port, from the
// datagram's bytes to the record: the input's first bytes choose the buffer
// and the report interval, then records of two bytes of arrival step (in
// milliseconds), two of length and that many bytes of datagram. Only
// datagrams with a whole header and the stream's words count; every report
// row and the final figures come out of the record whatever the packets
// said, and the rows stay within their limit.
#include <vector>

#include "fuzz_check.h"
#include "nettests/stream_packet.h"
#include "nettests/stream_statistics.h"
#include "results/test_result.h"

using namespace trellon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const int capacity = 1 + data[0] % 200;
    const int reportInterval = 1 + data[1] % 4;
    // Now and then the record is already cancelled when the stream ends.
    const bool cancelled = (data[2] & 0x80) != 0;

    LocalEndpoint local{"fuzz.example", "127.0.0.1", 4044};
    TestResult record(1, local);
    record.setTestType(TestResult::kStreamingTest);
    record.setBufferDuration(capacity * 20);
    record.setReportInterval(reportInterval);
    record.setState(TestResult::kRunning);
    StreamStatistics statistics(capacity);

    Timestamp arrival;
    arrival.seconds = 1700000000;
    arrival.microseconds = 0;
    int counted = 0;
    int reports = 0;
    std::size_t at = 3;
    while (at + 4 <= size) {
        const int stepMs = data[at] << 8 | data[at + 1];
        std::size_t length = (std::size_t{data[at + 2]} << 8 | data[at + 3]) % 2048;
        at += 4;
        length = std::min(length, size - at);
        // The client's receive buffer holds what arrived and no more.
        const std::vector<std::uint8_t> datagram(data + at, data + at + length);
        at += length;
        const std::int64_t usec = arrival.microseconds + std::int64_t{stepMs} * 1000;
        arrival.seconds += static_cast<std::int32_t>(usec / 1000000);
        arrival.microseconds = static_cast<std::int32_t>(usec % 1000000);

        if (datagram.size() < StreamPacket::kHeaderBytes ||
            !StreamPacket::hasStreamWords(datagram.data()))
            continue;
        const std::uint8_t* p = datagram.data();
        statistics.addPacket(StreamPacket::readWord(p, StreamPacket::kSequence),
                             StreamPacket::readWord(p, StreamPacket::kSenderDelayPrevious),
                             StreamPacket::readWord(p, StreamPacket::kSendSeconds),
                             StreamPacket::readWord(p, StreamPacket::kSendMicroseconds), arrival);
        ++counted;
        if (record.addStreamReport(statistics.figures(), arrival)) {
            statistics.resetIntervalCounters();
            ++reports;
        }
    }
    FUZZ_CHECK(statistics.figures().packetCount == counted);
    FUZZ_CHECK(record.getRowCount() == std::min<int>(reports, TestResult::kMaxRows));
    for (int i = 0; i < record.getRowCount(); ++i) {
        const std::optional<ReportRow> row = record.getRow(i);
        FUZZ_CHECK(row.has_value() && row->cells.size() == 9);
        for (const std::string& cell : row->cells) {
            FUZZ_CHECK(!cell.empty() && cell.size() <= 20);
            FUZZ_CHECK(cell.find_first_not_of("0123456789") == std::string::npos);
        }
    }

    if (cancelled) record.setState(TestResult::kFinished);
    statistics.flush();
    record.finishStream(statistics.figures(), arrival);
    const std::string results = record.getFinalResults();
    FUZZ_CHECK(!results.empty());
    FUZZ_CHECK(results.find("nan") == std::string::npos &&
               results.find("inf") == std::string::npos);
    // No figure in the text is below zero.
    FUZZ_CHECK(results.find("<b>-") == std::string::npos);
    return 0;
}
