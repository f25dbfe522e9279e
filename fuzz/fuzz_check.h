// What the fuzz targets share: a small deterministic generator for piece
// sizes and mutations, and a check that prints the failing input's
// description and aborts, so that the fuzzer keeps the input as a crash.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace zelvofuzz {

struct XorShift {
    std::uint32_t s;
    explicit XorShift(std::uint32_t seed) : s(seed != 0 ? seed : 0x9e3779b9u) {}
    std::uint32_t next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
};

// Printable form of arbitrary bytes for a failure report.
inline std::string printable(const std::string& bytes) {
    std::string d;
    for (char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            d += c;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", b);
            d += hex;
        }
    }
    return d;
}

}  // namespace zelvofuzz

#define ZELVOFUZZ_CHECK(cond, input)                                     \
    do {                                                                 \
        if (!(cond)) {                                                   \
            std::fprintf(stderr, "check failed: %s\ninput: %s\n", #cond, \
                         ::zelvofuzz::printable(input).c_str());         \
            std::abort();                                                \
        }                                                                \
    } while (0)
