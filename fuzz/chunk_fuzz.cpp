// Chunked decoding fed in arbitrary pieces against the same decoding fed the
// whole body at once: the same data bytes, the same end (last chunk, broken
// framing or not yet ended), the same number of input bytes consumed, and
// nothing taken once it has ended.
//
// Input: bytes 0-1 = seed of the piece sizes, the rest = the chunked body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "reply.h"

using zelvonet::ChunkDecoder;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    zelvofuzz::XorShift rng(static_cast<std::uint32_t>(data[0] << 8 | data[1]) + 7);
    const std::string body(reinterpret_cast<const char*>(data) + 2, size - 2);

    ChunkDecoder whole;
    std::string wholeOut;
    const std::size_t wholeTook = whole.feed(
        body.data(), body.size(), [&](const char* p, std::size_t n) { wholeOut.append(p, n); });

    ChunkDecoder pieces;
    std::string out;
    std::size_t consumed = 0;
    for (std::size_t offered = 0; offered < body.size();) {
        std::size_t k = rng.next() % 5 == 0 ? 0 : 1 + rng.next() % 9;
        if (k > body.size() - offered) k = body.size() - offered;
        const std::vector<char> piece(body.begin() + static_cast<std::ptrdiff_t>(offered),
                                      body.begin() + static_cast<std::ptrdiff_t>(offered + k));
        const bool wasOver = pieces.ended() || pieces.broken();
        const std::size_t took = pieces.feed(
            piece.data(), piece.size(), [&](const char* p, std::size_t n) { out.append(p, n); });
        ZELVOFUZZ_CHECK(took <= k, body);
        ZELVOFUZZ_CHECK(!wasOver || took == 0, body);
        ZELVOFUZZ_CHECK(took == k || pieces.ended() || pieces.broken(), body);
        consumed += took;
        offered += k;
    }
    ZELVOFUZZ_CHECK(out == wholeOut, body);
    ZELVOFUZZ_CHECK(pieces.state() == whole.state(), body);
    ZELVOFUZZ_CHECK(consumed == wholeTook, body);
    return 0;
}
