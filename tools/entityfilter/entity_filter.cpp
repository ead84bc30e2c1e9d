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

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace trellon {
namespace {

struct EntityPair {
    unsigned char code;
    std::string_view text;
};

// Four pairs a row keep the codes in step with the rows.
// clang-format off
constexpr EntityPair kEntityPairs[] = {
    {34, "&quot;"},    {38, "&amp;"},     {60, "&lt;"},      {62, "&gt;"},
    {160, "&nbsp;"},   {161, "&iexcl;"},  {162, "&cent;"},   {163, "&pound;"},
    {164, "&curren;"}, {165, "&yen;"},    {166, "&brvbar;"}, {167, "&sect;"},
    {168, "&uml;"},    {169, "&copy;"},   {170, "&ordf;"},   {171, "&laquo;"},
    {172, "&not;"},    {173, "&shy;"},    {174, "&reg;"},    {175, "&macr;"},
    {176, "&deg;"},    {177, "&plusmn;"}, {178, "&sup2;"},   {179, "&sup3;"},
    {180, "&acute;"},  {181, "&micro;"},  {182, "&para;"},   {183, "&middot;"},
    {184, "&cedil;"},  {185, "&sup1;"},   {186, "&ordm;"},   {187, "&raquo;"},
    {188, "&frac14;"}, {189, "&frac12;"}, {190, "&frac34;"}, {191, "&iquest;"},
    {192, "&Agrave;"}, {193, "&Aacute;"}, {194, "&Acirc;"},  {195, "&Atilde;"},
    {196, "&Auml;"},   {197, "&Aring;"},  {198, "&AElig;"},  {199, "&Ccedil;"},
    {200, "&Egrave;"}, {201, "&Eacute;"}, {202, "&Ecirc;"},  {203, "&Euml;"},
    {204, "&Igrave;"}, {205, "&Iacute;"}, {206, "&Icirc;"},  {207, "&Iuml;"},
    {208, "&ETH;"},    {209, "&Ntilde;"}, {210, "&Ograve;"}, {211, "&Oacute;"},
    {212, "&Ocirc;"},  {213, "&Otilde;"}, {214, "&Ouml;"},   {215, "&times;"},
    {216, "&Oslash;"}, {217, "&Ugrave;"}, {218, "&Uacute;"}, {219, "&Ucirc;"},
    {220, "&Uuml;"},   {221, "&Yacute;"}, {222, "&THORN;"},  {223, "&szlig;"},
    {224, "&agrave;"}, {225, "&aacute;"}, {226, "&acirc;"},  {227, "&atilde;"},
    {228, "&auml;"},   {229, "&aring;"},  {230, "&aelig;"},  {231, "&ccedil;"},
    {232, "&egrave;"}, {233, "&eacute;"}, {234, "&ecirc;"},  {235, "&euml;"},
    {236, "&igrave;"}, {237, "&iacute;"}, {238, "&icirc;"},  {239, "&iuml;"},
    {240, "&eth;"},    {241, "&ntilde;"}, {242, "&ograve;"}, {243, "&oacute;"},
    {244, "&ocirc;"},  {245, "&otilde;"}, {246, "&ouml;"},   {247, "&divide;"},
    {248, "&oslash;"}, {249, "&ugrave;"}, {250, "&uacute;"}, {251, "&ucirc;"},
    {252, "&uuml;"},   {253, "&yacute;"}, {254, "&thorn;"},  {255, "&yuml;"},
};
// clang-format on

// Every slot holds its text in a fixed-size field so that a copy is always one eight-byte move.
constexpr std::size_t kMaxEntityLength = 8;

consteval bool entityTextsFit() {
    for (const EntityPair& pair : kEntityPairs) {
        if (pair.text.empty() || pair.text.size() > kMaxEntityLength) return false;
    }
    return true;
}
static_assert(std::size(kEntityPairs) == 100);
static_assert(entityTextsFit());

struct EntitySlot {
    char text[kMaxEntityLength];
    unsigned char length;  // 0: the byte has no entity
};

// The entity text of every byte value, found by a direct index.
class EntityTable {
  public:
    EntityTable() {
        for (const EntityPair& pair : kEntityPairs) {
            EntitySlot& slot = slots_[pair.code];
            std::memcpy(slot.text, pair.text.data(), pair.text.size());
            slot.length = static_cast<unsigned char>(pair.text.size());
        }
    }

    const EntitySlot& operator[](unsigned char byte) const { return slots_[byte]; }

  private:
    std::array<EntitySlot, 256> slots_{};
};

// What the filter writes for each byte value: its entity, nothing for CR, CR LF for LF, or the
// byte itself. Deciding this once per byte value keeps the decision out of the byte loop.
class EntityFilter {
  public:
    explicit EntityFilter(const EntityTable& entities) {
        for (int code = 0; code < 256; ++code) {
            const unsigned char byte = static_cast<unsigned char>(code);
            EntitySlot& out = output_[byte];
            const EntitySlot& entity = entities[byte];
            if (entity.length != 0) {
                out = entity;
            } else if (byte == '\r') {
                out.length = 0;
            } else if (byte == '\n') {
                out.text[0] = '\r';
                out.text[1] = '\n';
                out.length = 2;
            } else {
                out.text[0] = static_cast<char>(byte);
                out.length = 1;
            }
        }
    }

    // Translates size input bytes into out, which must hold kMaxEntityLength bytes for each of
    // them; returns the number of bytes produced.
    std::size_t filter(const unsigned char* in, std::size_t size, char* out) const {
        char* next = out;
        for (std::size_t i = 0; i < size; ++i) {
            const EntitySlot& slot = output_[in[i]];
            // Always eight bytes: stays inside out because at most eight are produced per byte.
            std::memcpy(next, slot.text, kMaxEntityLength);
            next += slot.length;
        }
        return static_cast<std::size_t>(next - out);
    }

  private:
    std::array<EntitySlot, 256> output_{};
};

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
