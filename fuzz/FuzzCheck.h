#pragma once
// What every fuzz target shares: a check that stops the run with a message (libFuzzer keeps the
// input that caused it), and a reader that takes the input apart without ever running past it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    std::size_t remaining() const { return size_ - pos_; }

    // The next byte, 0 once the input is used up.
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // Up to count bytes (fewer at the end of the input).
    std::vector<std::uint8_t> bytes(std::size_t count) {
        const std::size_t n = count < remaining() ? count : remaining();
        std::vector<std::uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }
    std::vector<std::uint8_t> rest() { return bytes(remaining()); }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};
