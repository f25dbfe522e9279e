// The streaming reply evaluation, fed the reply in arbitrary pieces, against
// the whole-reply evaluation of exactly the bytes it was given up to the
// piece in which it reported the answer settled.
//
// Input: byte 0 = how many answer bytes to keep, bytes 1-2 = seed of the
// piece sizes, the rest = the reply.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "oracle.h"
#include "reply.h"

using zelvofuzz::Whole;
using zelvonet::ReplyEvaluator;

namespace {

Whole::Verdict mapped(ReplyEvaluator::Verdict v) {
    switch (v) {
        case ReplyEvaluator::Verdict::Answer:
            return Whole::Verdict::Answer;
        case ReplyEvaluator::Verdict::Empty:
            return Whole::Verdict::Empty;
        case ReplyEvaluator::Verdict::NoHeaderEnd:
            return Whole::Verdict::NoHeaderEnd;
        case ReplyEvaluator::Verdict::BadFraming:
            break;
    }
    return Whole::Verdict::BadFraming;
}

// Piece sizes: some empty, mostly small, now and then large.
std::vector<std::size_t> pieceSizes(std::size_t total, std::uint32_t seed) {
    zelvofuzz::XorShift rng(seed);
    const std::size_t spans[] = {1, 3, 16, 300};
    const std::size_t span = spans[seed % 4];
    std::vector<std::size_t> sizes;
    std::size_t left = total;
    for (int guard = 0; left > 0 && guard < 100000; ++guard) {
        const std::uint32_t r = rng.next();
        std::size_t k = (r % 11 == 0) ? 0 : 1 + (r >> 4) % span;
        if (k > left) k = left;
        sizes.push_back(k);
        left -= k;
    }
    if (left > 0) sizes.push_back(left);
    return sizes;
}

std::string describe(const std::string& reply, std::size_t keep, std::size_t fed) {
    std::string d = "keep " + std::to_string(keep) + ", fed " + std::to_string(fed) + " of " +
                    std::to_string(reply.size()) + " bytes:\n";
    for (char c : reply) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            d += c;
        } else {
            static const char hex[] = "0123456789abcdef";
            d += "\\x";
            d += hex[b >> 4];
            d += hex[b & 15];
        }
    }
    return d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t keep = data[0];
    const std::uint32_t seed = static_cast<std::uint32_t>(data[1] << 8 | data[2]) + 1;
    const std::string reply(reinterpret_cast<const char*>(data) + 3, size - 3);

    ReplyEvaluator streaming(keep);
    std::size_t fed = 0;
    bool done = false;
    for (std::size_t k : pieceSizes(reply.size(), seed)) {
        // Each piece in its own allocation, so that reading past it is caught.
        const std::vector<char> piece(reply.begin() + static_cast<std::ptrdiff_t>(fed),
                                      reply.begin() + static_cast<std::ptrdiff_t>(fed + k));
        const bool now = streaming.feed(piece.data(), piece.size());
        ZELVOFUZZ_CHECK(!done || now, describe(reply, keep, fed) + "\n(done went back)");
        if (!done) fed += k;
        done = now;
    }
    // Once settled, later pieces change nothing; the caller sees this.
    const Whole seen = zelvofuzz::evaluateWhole(reply.substr(0, fed));
    const std::string detail = describe(reply, keep, fed);
    ZELVOFUZZ_CHECK(mapped(streaming.verdict()) == seen.verdict, detail);
    if (seen.verdict == Whole::Verdict::Answer) {
        ZELVOFUZZ_CHECK(streaming.answer() == seen.line.substr(0, keep), detail);
        ZELVOFUZZ_CHECK(streaming.answerIsOK() == (seen.line == "OK"), detail);
        ZELVOFUZZ_CHECK(streaming.answerLength() == seen.line.size(), detail);
    }
    // A settled answer stops the reading: the call must not wait for more.
    if (seen.settled) ZELVOFUZZ_CHECK(done, detail + "\n(settled but not done)");

    // Without a stated length, a settled answer is the answer of the whole
    // reply: no byte behind it could have changed it.
    const Whole all = zelvofuzz::evaluateWhole(reply);
    if (done && (all.chunked || !all.hasContentLength)) {
        ZELVOFUZZ_CHECK(all.verdict == seen.verdict, detail + "\n(whole reply differs)");
        if (all.verdict == Whole::Verdict::Answer)
            ZELVOFUZZ_CHECK(all.line == seen.line, detail + "\n(whole reply differs)");
    }
    if (!done) ZELVOFUZZ_CHECK(fed == reply.size(), detail);
    return 0;
}
