// entityfilter: plain Latin-1 text on standard input becomes text that can be pasted into an
// HTML page on standard output. The four HTML special characters and every character from 160
// to 255 become their named entities; everything else passes unchanged except line ends.
//
// Line ends: the tool was made for a platform whose standard streams are in text mode, where an
// input CR LF reached the filter as LF, the filter dropped any other CR, and every LF written
// left as CR LF. The streams are binary here (the platform layer sees to it), so the loop does that
// translation itself: every CR is dropped and every LF is written as CR LF. A CR is dropped whether
// or not an LF follows it, so the loop keeps no state between reads and a CR LF pair split across
// two reads, or a CR at the end of a read, needs no look-ahead.
//
// Throughput: input is read in large blocks and each block is translated into an output block
// sized for the worst expansion (every byte an eight-character entity), so the inner loop never
// checks for room. The loop is a table look-up per byte with no branches.
//
// Exit code 0 at the end of the input; 1 with a message on standard error when standard input
// cannot be read or standard output cannot be written (full disk, closed pipe), so a truncated
// output is never reported as success.

#include "entity_filter.h"

#include <cstddef>
#include <cstdio>
#include <string>

#include "platform/standard_streams.h"

namespace trellon {
namespace {

using entityfilter::EntityFilter;
using entityfilter::EntityTable;
using entityfilter::kMaxEntityLength;

constexpr std::size_t kInputBlock = 128 * 1024;
constexpr std::size_t kOutputBlock = kInputBlock * kMaxEntityLength;

// Static: one block pair for the whole run, nothing allocated while filtering.
unsigned char inputBlock[kInputBlock];
char outputBlock[kOutputBlock];

int fail(const char* what, const std::string& error) {
    std::fprintf(stderr, "entityfilter: cannot %s: %s\n", what, error.c_str());
    return 1;
}

int run() {
    // A closed output pipe must end the run with a message and exit code 1, not a silent death
    // by signal that a calling script could mistake for something else.
    platform::prepareStandardStreams();

    static const EntityTable entities;
    static const EntityFilter filter(entities);

    std::string error;
    for (;;) {
        // Whatever a read returns is filtered and written at once, so interactive use sees each
        // line as it is typed.
        const long got = platform::readStandardInput(inputBlock, kInputBlock, &error);
        if (got < 0) return fail("read standard input", error);
        if (got == 0) break;
        const std::size_t produced =
            filter.filter(inputBlock, static_cast<std::size_t>(got), outputBlock);
        if (!platform::writeStandardOutput(outputBlock, produced, &error))
            return fail("write standard output", error);
    }
    if (!platform::closeStandardOutput(&error)) return fail("write standard output", error);
    return 0;
}

}  // namespace
}  // namespace trellon

int main() {
    return trellon::run();
}
