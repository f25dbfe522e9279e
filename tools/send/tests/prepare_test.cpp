// The sender's conversions: what a command line or a pipe gives becomes the
// bytes the gateway reads as the user meant them.
#include <gtest/gtest.h>

#include "charset.h"
#include "prepare.h"

namespace zelvosend {
namespace {

TEST(Message, Utf8BecomesLatin1AndLineBreaksBackslashN) {
    const auto p = prepareMessage("Grüße\naus Köln", false);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.value, "Gr\xfc\xdf" "e\\naus K\xf6ln");
    // CR LF and a lone CR are one line break each.
    EXPECT_EQ(prepareMessage("a\r\nb\rc\n\nd", false).value, "a\\nb\\nc\\n\\nd");
    // A backslash the user typed stays one backslash.
    EXPECT_EQ(prepareMessage("C:\\temp", false).value, "C:\\temp");
}

TEST(Message, TheLimitCountsUtf16CodeUnitsBeforeEscaping) {
    EXPECT_TRUE(prepareMessage(std::string(160, 'a'), false).ok);
    std::string umlauts;
    for (int i = 0; i < 160; ++i) umlauts += "ä";  // 320 bytes, 160 characters
    EXPECT_TRUE(prepareMessage(umlauts, false).ok);
    const auto over = prepareMessage(std::string(161, 'a'), false);
    EXPECT_FALSE(over.ok);
    EXPECT_NE(over.error.find("161"), std::string::npos) << over.error;
    // 159 characters and a CR LF: 160 counted, 161 bytes sent.
    const auto broken = prepareMessage(std::string(80, 'a') + "\r\n" + std::string(79, 'b'), false);
    ASSERT_TRUE(broken.ok) << broken.error;
    EXPECT_EQ(broken.value.size(), 161u);
    // A character beyond the Basic Multilingual Plane counts two.
    EXPECT_FALSE(prepareMessage(std::string(159, 'a') + "\xf0\x9f\x98\x80", true).ok);
    const auto emoji = prepareMessage(std::string(158, 'a') + "\xf0\x9f\x98\x80", true);
    ASSERT_TRUE(emoji.ok) << emoji.error;
    EXPECT_EQ(emoji.value, std::string(158, 'a') + "??");
    EXPECT_FALSE(prepareMessage("", false).ok);
    EXPECT_FALSE(prepareMessage("", true).ok);
}

TEST(Message, ACharacterOutsideLatin1IsNamedOrReplaced) {
    const auto euro = prepareMessage("5 € bitte", false);
    EXPECT_FALSE(euro.ok);
    EXPECT_NE(euro.error.find("U+20AC \"€\""), std::string::npos) << euro.error;
    EXPECT_NE(euro.error.find("--replace"), std::string::npos);
    EXPECT_EQ(prepareMessage("5 € bitte", true).value, "5 ? bitte");
    const auto emoji = prepareMessage("hi \xf0\x9f\x98\x80", false);
    EXPECT_NE(emoji.error.find("U+1F600"), std::string::npos) << emoji.error;
    // The last Latin-1 character and the first beyond it.
    EXPECT_EQ(prepareMessage("\xc3\xbf", false).value, "\xff");
    EXPECT_FALSE(prepareMessage("\xc4\x80", false).ok);
}

TEST(Message, InvalidUtf8IsRefusedWithItsOffset) {
    for (const char* bad : {"abc\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
                            "a\x80"}) {
        const auto p = prepareMessage(bad, true);
        EXPECT_FALSE(p.ok) << bad;
        EXPECT_NE(p.error.find("not valid UTF-8"), std::string::npos) << p.error;
    }
    EXPECT_NE(prepareMessage("abc\xff", false).error.find("offset 3"), std::string::npos);
}

TEST(Fields, TextFieldsBecomeLatin1) {
    EXPECT_EQ(prepareText("the key", "gé heim", false).value, "g\xe9 heim");
    EXPECT_FALSE(prepareText("the key", "ключ", false).ok);
    EXPECT_NE(prepareText("--user", "ключ", false).error.find("--user"), std::string::npos);
    EXPECT_EQ(prepareText("the key", "ключ", true).value, "????");
}

TEST(Fields, UnencodedValuesAreMadeSafeForAFormDecodingGateway) {
    EXPECT_EQ(prepareRaw("--time", "24.12.2026 18:00+01", true).value, "24.12.2026 18:00%2b01");
    EXPECT_EQ(prepareRaw("--kdnr", "a&b=c#d%e", false).value, "a%26b%3dc%23d%25e");
    EXPECT_FALSE(prepareRaw("--kdnr", "12 345", false).ok);
    EXPECT_FALSE(prepareRaw("--time", "18:00\n", true).ok);
    EXPECT_FALSE(prepareRaw("--time", "Mörgen", true).ok);
}

TEST(Fields, TheRecipientIsAPhoneNumber) {
    EXPECT_EQ(prepareReceiver("01711234567").value, "01711234567");
    EXPECT_EQ(prepareReceiver("+49 171 123-45/67").value, "%2b491711234567");
    for (const char* bad : {"", "12", "0171x", "0171&key=x", "++49171", "49+171", " 0171",
                            "123456789012345678901"}) {
        EXPECT_FALSE(prepareReceiver(bad).ok) << bad;
    }
}

TEST(Fields, HostAndPort) {
    std::string host;
    int port = 0;
    EXPECT_TRUE(parseHostPort("gw.example.net", 8080, &host, &port));
    EXPECT_EQ(host, "gw.example.net");
    EXPECT_EQ(port, 8080);
    EXPECT_TRUE(parseHostPort("127.0.0.1:65535", 0, &host, &port));
    EXPECT_EQ(port, 65535);
    for (const char* bad : {"", ":80", "h:", "h:0", "h:65536", "h:8o", "h:-1", "a b:1", "h:123456"}) {
        EXPECT_FALSE(parseHostPort(bad, 8080, &host, &port)) << bad;
    }
    EXPECT_FALSE(parseHostPort("proxy", 0, &host, &port)) << "a proxy needs its port";
}

TEST(Answer, Windows1252BecomesUtf8AndControlsShow) {
    EXPECT_EQ(answerForTerminal("OK"), "OK");
    EXPECT_EQ(answerForTerminal("Gr\xfcnden \x80 \x84zitat\x93"), "Gründen € „zitat“");
    EXPECT_EQ(answerForTerminal("\x81"), "\xef\xbf\xbd");
    EXPECT_EQ(answerForTerminal("OK\r"), "OK\\x0d");
    EXPECT_EQ(answerForTerminal("\x1b]0;x\x07"), "\\x1b]0;x\\x07");
}

TEST(Input, OneFinalLineEndIsDropped) {
    EXPECT_EQ(withoutFinalLineEnd("Hallo\n"), "Hallo");
    EXPECT_EQ(withoutFinalLineEnd("Hallo\r\n"), "Hallo");
    EXPECT_EQ(withoutFinalLineEnd("Hallo\n\n"), "Hallo\n");
    EXPECT_EQ(withoutFinalLineEnd("Hallo"), "Hallo");
    EXPECT_EQ(withoutFinalLineEnd(""), "");
}

}  // namespace
}  // namespace zelvosend
