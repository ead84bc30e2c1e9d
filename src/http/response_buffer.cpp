#include "http/response_buffer.h"

#include <charconv>
#include <cstdio>
#include <new>
#include <stdexcept>

namespace trellon {

namespace {

constexpr char kDeletedPattern[] = " + Deleted";
constexpr std::size_t kDeletedPatternLength = sizeof(kDeletedPattern) - 1;

// Room for used + n + 1 bytes (the 1 keeps space for a terminator, as the
// buffers always did), rounded up to whole growth steps.
std::size_t roundedCapacity(std::size_t needed) {
    const std::size_t step = ResponseBuffer::kGrowthStep;
    return (needed + step - 1) / step * step;
}

void reportOutOfMemory() {
    std::fputs("out of memory\n", stderr);
}

}  // namespace

void ResponseBuffer::append(const char* data, std::size_t length) {
    if (length == 0) return;
    const std::size_t used = text_.size();
    // Checked before any arithmetic: a length near SIZE_MAX must not wrap
    // around into a small, "successful" reservation. max_size() is far below
    // SIZE_MAX, so the rounding below cannot wrap either.
    if (length > text_.max_size() - used - 1) {
        reportOutOfMemory();
        clear();
        return;
    }
    const std::size_t needed = used + length + 1;
    if (needed > capacity_) {
        const std::size_t grown = roundedCapacity(needed);
        try {
            text_.reserve(grown);
        } catch (const std::bad_alloc&) {
            reportOutOfMemory();
            clear();
            return;
        } catch (const std::length_error&) {
            reportOutOfMemory();
            clear();
            return;
        }
        capacity_ = grown;
    }
    text_.append(data, length);
}

void ResponseBuffer::appendNumber(long long value) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof(digits), value);
    append(digits, static_cast<std::size_t>(result.ptr - digits));
}

void ResponseBuffer::clear() {
    // Written through a volatile pointer so the compiler cannot drop the
    // stores as dead just before the memory is released.
    text_.resize(text_.capacity());
    volatile char* storage = text_.data();
    for (std::size_t i = 0; i < text_.size(); ++i) {
        storage[i] = kDeletedPattern[i % kDeletedPatternLength];
    }
    std::string().swap(text_);
    capacity_ = 0;
}

void ResponseBuffer::assign(std::string text) {
    text_ = std::move(text);
    capacity_ = roundedCapacity(text_.size() + 1);
}

}  // namespace trellon
