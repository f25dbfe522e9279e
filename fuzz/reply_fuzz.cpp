// The streaming reply evaluation fed the reply in arbitrary pieces, against
// the same evaluation fed at once exactly the bytes the pieces took until
// the answer was settled: verdict, answer, the OK decision, the line's
// length and the settling must agree, a settled answer stays settled, and
// nothing is read past a piece (each lives in its own allocation).
//
// Input: byte 0 = how many answer bytes to keep, bytes 1-2 = seed of the
// piece sizes, the rest = the reply.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "reply.h"

using zelvonet::ReplyEvaluator;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t keep = data[0];
    const std::uint32_t seed = static_cast<std::uint32_t>(data[1] << 8 | data[2]) + 1;
    const std::string reply(reinterpret_cast<const char*>(data) + 3, size - 3);
    zelvofuzz::XorShift rng(seed);
    // Some pieces empty, mostly small ones, now and then a large one.
    const std::size_t span = std::size_t{1} << (seed % 4 * 3);

    ReplyEvaluator pieces(keep);
    std::size_t fed = 0;
    bool settled = false;
    for (std::size_t offered = 0; offered < reply.size();) {
        const std::uint32_t r = rng.next();
        std::size_t k = r % 11 == 0 ? 0 : 1 + (r >> 4) % span;
        if (k > reply.size() - offered) k = reply.size() - offered;
        const std::vector<char> piece(reply.begin() + static_cast<std::ptrdiff_t>(offered),
                                      reply.begin() + static_cast<std::ptrdiff_t>(offered + k));
        const bool now = pieces.feed(piece.data(), piece.size());
        ZELVOFUZZ_CHECK(!settled || now, reply);
        if (!settled) fed += k;
        settled = now;
        offered += k;
    }

    ReplyEvaluator whole(keep);
    ZELVOFUZZ_CHECK(whole.feed(reply.data(), fed) == settled, reply);
    ZELVOFUZZ_CHECK(whole.verdict() == pieces.verdict(), reply);
    ZELVOFUZZ_CHECK(whole.answer() == pieces.answer(), reply);
    ZELVOFUZZ_CHECK(whole.answerIsOK() == pieces.answerIsOK(), reply);
    ZELVOFUZZ_CHECK(whole.answerLength() == pieces.answerLength(), reply);
    ZELVOFUZZ_CHECK(pieces.answer().size() <= keep, reply);
    ZELVOFUZZ_CHECK(!pieces.answerIsOK() || pieces.answerLength() == 2, reply);
    return 0;
}
