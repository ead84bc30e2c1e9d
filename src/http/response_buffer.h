// ResponseBuffer: the growable byte buffer that collects a response (and any
// other text the agent builds piece by piece). Capacity grows in whole steps
// of 500 bytes; when memory cannot be had it prints "out of memory" and
// becomes empty rather than failing the caller.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace trellon {

class ResponseBuffer {
public:
    static constexpr std::size_t kGrowthStep = 500;

    ResponseBuffer() = default;

    void append(const char* data, std::size_t length);
    void append(std::string_view text) { append(text.data(), text.size()); }
    void appendNumber(long long value);
    void appendCrLf() { append("\r\n", 2); }

    // Overwrites the storage with " + Deleted" before it is freed, so stale
    // text cannot leak into a later response; length and capacity become 0.
    void clear();

    const char* data() const { return text_.data(); }
    std::size_t size() const { return text_.size(); }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return text_.empty(); }
    const std::string& str() const { return text_; }

    // Replaces the whole contents (used by the key replacement).
    void assign(std::string text);

private:
    std::string text_;
    std::size_t capacity_ = 0;
};

}  // namespace trellon
