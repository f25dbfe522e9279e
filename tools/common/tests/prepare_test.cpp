// The sender's conversions: what a command line or a pipe gives becomes the
// bytes the gateway reads as the user meant them.
#include <gtest/gtest.h>

#include "prepare.h"

namespace zelvosend {
namespace {

// The conversions that cannot fail, in the table's form.
Prepared done(std::string value) {
    return {true, std::move(value), ""};
}

Prepared hostPort(const std::string& text, int defaultPort) {
    std::string host;
    int port = 0;
    if (!parseHostPort(text, defaultPort, &host, &port)) return {false, "", "refused"};
    return done(host + " " + std::to_string(port));
}

TEST(Prepare, ValuesBecomeLatin1WithinTheLimitOrAreRefusedWithTheReason) {
    const std::string emoji = "\xf0\x9f\x98\x80";
    std::string umlauts;
    for (int i = 0; i < 160; ++i) umlauts += "ä";
    const struct {
        Prepared got;
        bool ok;
        std::string want;  // the value, or a part of the error
    } rows[] = {
        {prepareMessage("Grüß\naus Köln", false), true, "Gr\xfc\xdf\\naus K\xf6ln"},
        {prepareMessage("a\r\nb\rc\n\nd\\", false), true, "a\\nb\\nc\\n\\nd\\"},
        {prepareMessage(umlauts, false), true, std::string(160, '\xe4')},
        {prepareMessage(std::string(80, 'a') + "\r\n" + std::string(79, 'b'), false), true,
         std::string(80, 'a') + "\\n" + std::string(79, 'b')},
        {prepareMessage(std::string(158, 'a') + emoji, true), true, std::string(158, 'a') + "??"},
        {prepareMessage(std::string(159, 'a') + emoji, true), false, "has 161 characters"},
        {prepareMessage("", true), false, "the message is empty"},
        {prepareMessage("5 € bitte", false), false,
         "the message holds U+20AC \"€\", which has no Latin-1 form; change it or use --replace"},
        {prepareMessage("5 € bitte", true), true, "5 ? bitte"},
        {prepareMessage("hi " + emoji, false), false, "holds U+1F600 \"" + emoji + "\""},
        {prepareMessage("\xc3\xbf", false), true, "\xff"},
        {prepareMessage("\xc4\x80", false), false, "U+0100"},
        {prepareMessage("abc\xff", true), false, "not valid UTF-8 (byte 0xff at offset 3)"},
        {prepareText("--user", "ключ", false), false, "--user holds U+043A"},
        {prepareText("the key", "ключ", true), true, "????"},
        {prepareRaw("--kdnr", "a&b=c#d%e", false), true, "a%26b%3dc%23d%25e"},
        {prepareRaw("--time", "18:00\n", true), false, "--time may hold printable ASCII"},
        {prepareRaw("--time", "Mörgen", true), false, "--time may hold printable ASCII"},
        {prepareReceiver("123"), true, "123"},
        {prepareReceiver(std::string(20, '9')), true, std::string(20, '9')},
        {hostPort("gw.example.net", 8080), true, "gw.example.net 8080"},
        {hostPort("127.0.0.1:65535", 0), true, "127.0.0.1 65535"},
        {hostPort("h:1", 0), true, "h 1"},
        {done(answerForTerminal("Gr\xfcnden \x80 \x84zitat\x93 \x9f")), true,
         "Gründen € „zitat“ Ÿ"},
        {done(answerForTerminal("\x81\x8d")), true, "\xef\xbf\xbd\xef\xbf\xbd"},
        {done(answerForTerminal("\x1b]0;x\x07\x7f")), true, "\\x1b]0;x\\x07\\x7f"},
        {done(withoutFinalLineEnd("Hallo\r\n")), true, "Hallo"},
        {done(withoutFinalLineEnd("Hallo\n\n")), true, "Hallo\n"},
        {done(withoutFinalLineEnd("Hallo\r")), true, "Hallo\r"},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto& r = rows[i];
        EXPECT_EQ(r.got.ok, r.ok) << "row " << i << ": " << r.got.error;
        EXPECT_TRUE(r.ok ? r.got.value == r.want : r.got.error.find(r.want) != std::string::npos)
            << "row " << i << ": " << r.got.value << r.got.error;
    }
    // Not UTF-8: a lone lead byte, an overlong form, a surrogate, beyond U+10FFFF, a lone tail.
    for (const char* bad : {"\xc3", "a\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\x80"})
        EXPECT_NE(prepareMessage(bad, true).error.find("is not valid UTF-8"), std::string::npos);
    for (const char* to :
         {"", "12", "0171x", "0171&key=x", "++49171", "49+171", " 0171", "123456789012345678901"})
        EXPECT_NE(prepareReceiver(to).error.find("--to wants a phone number"), std::string::npos);
    for (const char* text :
         {"", ":80", "h:", "h:0", "h:65536", "h:8o", "h:-1", "a b:1", "h:123456"})
        EXPECT_FALSE(hostPort(text, 8080).ok) << text;
    EXPECT_FALSE(hostPort("proxy", 0).ok) << "a proxy needs its port";
}

}  // namespace
}  // namespace zelvosend
