// The entity filter's translation: the entity of every byte value and the
// table-driven loop that turns a block of Latin-1 input into HTML text. The
// program (entity_filter.cpp) reads and writes the blocks; the translation
// is kept apart so that it can be driven by bytes alone (fuzz/).
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace trellon::entityfilter {

struct EntityPair {
    unsigned char code;
    std::string_view text;
};

// Four pairs a row keep the codes in step with the rows.
// clang-format off
inline constexpr EntityPair kEntityPairs[] = {
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
inline constexpr std::size_t kMaxEntityLength = 8;

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

}  // namespace trellon::entityfilter
