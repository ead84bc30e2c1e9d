// entityfilter: plain Latin-1 text on standard input becomes text that can be pasted into an
// HTML page on standard output. The four HTML special characters and every character from 160
// to 255 become their named entities; everything else passes unchanged except line ends.
//
// Line ends: the tool was made for a platform whose standard streams are in text mode, where an
// input CR LF reached the filter as LF, the filter dropped any other CR, and every LF written
// left as CR LF. Linux streams are binary, so the loop does that translation itself: every CR
// is dropped and every LF is written as CR LF. A CR is dropped whether or not an LF follows it,
// so the loop keeps no state between reads and a CR LF pair split across two reads, or a CR at
// the end of a read, needs no look-ahead.
//
// Throughput: input is read in large blocks and each block is translated into an output block
// sized for the worst expansion (every byte an eight-character entity), so the inner loop never
// checks for room. The loop is a table look-up per byte with no branches.
//
// Exit code 0 at the end of the input; 1 with a message on standard error when standard input
// cannot be read or standard output cannot be written (full disk, closed pipe), so a truncated
// output is never reported as success.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "entity_filter.h"

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

int fail(const char* what, int error) {
    std::fprintf(stderr, "entityfilter: cannot %s: %s\n", what, std::strerror(error));
    return 1;
}

bool writeAll(const char* data, std::size_t size, int* error) {
    while (size > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            *error = errno;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

int run() {
    // A closed output pipe must end the run with a message and exit code 1, not a silent death
    // by signal that a calling script could mistake for something else.
    ::signal(SIGPIPE, SIG_IGN);

    static const EntityTable entities;
    static const EntityFilter filter(entities);

    for (;;) {
        // Whatever a read returns is filtered and written at once, so interactive use sees each
        // line as it is typed.
        const ssize_t got = ::read(STDIN_FILENO, inputBlock, kInputBlock);
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail("read standard input", errno);
        }
        if (got == 0) break;
        const std::size_t produced =
            filter.filter(inputBlock, static_cast<std::size_t>(got), outputBlock);
        int error = 0;
        if (!writeAll(outputBlock, produced, &error)) return fail("write standard output", error);
    }
    // Some file systems report a failed write only when the file is closed.
    if (::close(STDOUT_FILENO) != 0 && errno != EINTR && errno != EBADF) {
        return fail("write standard output", errno);
    }
    return 0;
}

}  // namespace
}  // namespace trellon

int main() {
    return trellon::run();
}
