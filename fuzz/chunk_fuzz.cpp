// Chunked decoding, fed in arbitrary pieces, against the whole-body decoding:
// the same data bytes, the same end (last chunk, broken framing or not yet
// ended), and exactly the input bytes up to that end consumed.
//
// Input: bytes 0-1 = seed of the piece sizes, the rest = the chunked body.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "oracle.h"
#include "reply.h"

using zelvofuzz::Dechunked;
using zelvonet::ChunkDecoder;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    zelvofuzz::XorShift rng(static_cast<std::uint32_t>(data[0] << 8 | data[1]) + 7);
    const std::string body(reinterpret_cast<const char*>(data) + 2, size - 2);
    const Dechunked whole = zelvofuzz::dechunk(body);
    const std::string detail = "body of " + std::to_string(body.size()) + " bytes";

    ChunkDecoder decoder;
    std::string out;
    std::size_t consumed = 0;
    std::size_t offered = 0;
    for (int guard = 0; offered < body.size() && guard < 100000; ++guard) {
        std::size_t k = 1 + rng.next() % 9;
        if (rng.next() % 5 == 0) k = 0;
        if (k > body.size() - offered) k = body.size() - offered;
        const std::vector<char> piece(body.begin() + static_cast<std::ptrdiff_t>(offered),
                                      body.begin() + static_cast<std::ptrdiff_t>(offered + k));
        const bool wasOver = decoder.ended() || decoder.broken();
        const std::size_t took =
            decoder.feed(piece.data(), piece.size(), [&](const char* p, std::size_t n) {
                ZELVOFUZZ_CHECK(n <= piece.size(), detail);
                out.append(p, n);
            });
        ZELVOFUZZ_CHECK(took <= k, detail);
        if (wasOver) ZELVOFUZZ_CHECK(took == 0, detail + " (fed after the end)");
        if (took < k) ZELVOFUZZ_CHECK(decoder.ended() || decoder.broken(), detail);
        consumed += took;
        offered += k;
    }

    ZELVOFUZZ_CHECK(out == whole.data, detail);
    switch (whole.end) {
        case Dechunked::End::Ended:
            ZELVOFUZZ_CHECK(decoder.ended(), detail);
            ZELVOFUZZ_CHECK(consumed == whole.pos, detail);
            break;
        case Dechunked::End::Broken:
            ZELVOFUZZ_CHECK(decoder.broken(), detail);
            ZELVOFUZZ_CHECK(consumed == whole.pos, detail);
            break;
        case Dechunked::End::Incomplete:
            ZELVOFUZZ_CHECK(!decoder.ended() && !decoder.broken(), detail);
            ZELVOFUZZ_CHECK(consumed == body.size(), detail);
            break;
    }
    return 0;
}
