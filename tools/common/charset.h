// Character-set conversions shared by the gateway simulator and the sender.
// The wire carries Latin-1 (the sender's values, the simulator's answer
// lines); the library's own texts are Windows-1252; terminals, logs and the
// outbox are UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelvotools {

// Latin-1 bytes to UTF-8. Every byte is a character, so this cannot fail.
std::string latin1ToUtf8(const std::string& latin1);

// Windows-1252 bytes to UTF-8. The five bytes that Windows-1252 leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) become U+FFFD.
std::string cp1252ToUtf8(const std::string& bytes);

// A UTF-8 text decoded to UTF-16 code units, or where it is not valid UTF-8.
struct Utf16Result {
    std::u16string text;
    bool valid = true;
    std::size_t badOffset = 0;  // byte offset of the first invalid sequence
};
Utf16Result utf8ToUtf16(const std::string& utf8);

// UTF-16 text to Latin-1 bytes, one byte per code unit. A code unit above
// 0xFF is replaced by "?" when `replace` is set; otherwise the conversion
// stops and `unmappable` holds the code point that has no Latin-1 byte.
struct Latin1Result {
    std::string bytes;
    bool ok = true;
    char32_t unmappable = 0;
};
Latin1Result utf16ToLatin1(const std::u16string& text, bool replace);

// "U+20AC" and, when printable, the character itself in quotes.
std::string describeCodePoint(char32_t cp);

// One code point as UTF-8.
std::string utf8Of(char32_t cp);

// A UTF-8 text made safe for one line of a terminal or a log: C0 controls,
// DEL and the C1 controls are shown as "\xNN"; a line feed as `lineBreak`.
std::string printable(const std::string& utf8, const std::string& lineBreak);

}  // namespace zelvotools
