// urlEncode on arbitrary bytes and lengths: exactly the bytes of the form
// encoding, never a byte of `text` beyond `length` read (each input sits in
// an allocation of exactly its size), nothing read for length 0 or less.
//
// Input: byte 0 chooses the length (whole, cut, zero, negative), the rest =
// the text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "oracle.h"
#include "request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > (1u << 20)) return 0;
    const std::uint8_t mode = data[0];
    const std::size_t n = size - 1;
    std::unique_ptr<char[]> text(new char[n > 0 ? n : 1]);
    if (n > 0) std::memcpy(text.get(), data + 1, n);

    int length = static_cast<int>(n);
    switch (mode % 4) {
        case 0:
            break;
        case 1:
            length = n > 0 ? static_cast<int>(static_cast<std::size_t>(mode) % n) : 0;
            break;
        case 2:
            length = 0;
            break;
        case 3:
            length = -1 - static_cast<int>(mode);
            break;
    }
    const std::string got =
        zelvonet::urlEncode(length > 0 ? text.get() : nullptr, length);
    const std::string expected =
        length > 0 ? zelvofuzz::formEncode(std::string(text.get(), static_cast<std::size_t>(length)))
                   : std::string();
    ZELVOFUZZ_CHECK(got == expected, "length " + std::to_string(length));
    if (length > 0) {
        const auto len = static_cast<std::size_t>(length);
        ZELVOFUZZ_CHECK(got.size() >= len && got.size() <= 3 * len, "result length");
    }
    // Nothing in the result can end or split a query value.
    for (char c : got) {
        const auto b = static_cast<unsigned char>(c);
        const bool allowed = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') ||
                             (b >= 'a' && b <= 'z') || b == '%' || b == '+';
        ZELVOFUZZ_CHECK(allowed, "byte " + std::to_string(b) + " in the result");
    }
    return 0;
}
