// Plain whole-input evaluations that the fuzz targets hold the library's
// streaming code against. Written from the rules, not from the library's
// state machines: each works on the complete bytes at once, with index
// arithmetic instead of per-byte states.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelvofuzz {

// Chunked body decoding of a complete byte string.
struct Dechunked {
    enum class End { Ended, Broken, Incomplete };
    End end = End::Incomplete;
    std::string data;     // every data byte up to the end, the break or the cut
    std::size_t pos = 0;  // Ended: index behind the last chunk's line;
                          // Broken: index of the offending byte
};

// Chunk syntax accepted: one or more hex digits (a size of 2^60 or more is
// broken framing), then CR LF, a bare LF, or an extension started by ';',
// space or tab and running to the next LF; then the data and CR LF or a bare
// LF. A size of zero is the last chunk; trailers are not read.
Dechunked dechunk(const std::string& body);

// The reply's verdict as the caller sees it.
struct Whole {
    enum class Verdict { Answer, Empty, NoHeaderEnd, BadFraming };
    Verdict verdict = Verdict::Empty;
    std::string line;      // the whole answer line (decoded), without its LF
    bool settled = false;  // the line's LF arrived, or the chunked body ended or broke
    bool chunked = false;
    bool hasContentLength = false;  // any Content-Length field in the header block
};

// The whole reply: body behind the first CR LF CR LF, decoded when the last
// Transfer-Encoding coding is "chunked", answer line up to the first LF.
// Content-Length plays no part.
Whole evaluateWhole(const std::string& reply);

// The form encoding of free-text values and the control escape of values
// inserted unchanged, byte by byte.
std::string formEncode(const std::string& bytes);
std::string escapeControlBytes(const std::string& bytes);

// Small deterministic generator for piece sizes and variants.
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

// Reports a disagreement with the input's description and aborts, so that
// the fuzzer keeps the input as a crash.
[[noreturn]] void mismatch(const char* what, const std::string& detail);

}  // namespace zelvofuzz

#define ZELVOFUZZ_CHECK(cond, detail)                               \
    do {                                                            \
        if (!(cond)) ::zelvofuzz::mismatch(#cond, (detail));        \
    } while (0)
