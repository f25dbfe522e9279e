// The request's exact bytes: value encodings, the copy rule for the answer
// buffer, the query's keys and the request text in both forms.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "request.h"

using namespace zelvonet;

namespace {

struct EncodeCase {
    const char* label;
    std::string input;
    int length;  // -1: the input's size
    std::string expected;
};

TEST(UrlEncode, BytesAsTheGatewayDecodesThem) {
    const EncodeCase cases[] = {
        {"space as plus", "Hallo Welt", -1, "Hallo+Welt"},
        {"letters and digits pass", "ABCxyz0189", -1, "ABCxyz0189"},
        {"unreserved marks escaped", "a-b_c.d~e*f", -1, "a%2db%5fc%2ed%7ee%2af"},
        {"query delimiters escaped", "x&y=z+1%", -1, "x%26y%3dz%2b1%25"},
        {"latin-1 lower-case hex",
         "Gr\xfc\xdf"
         "e",
         -1, "Gr%fc%dfe"},
        {"white space", "\r\n\t", -1, "%0d%0a%09"},
        {"DEL and high bytes", "\x7f\x80\xff", -1, "%7f%80%ff"},
        {"reads only length bytes", "abc def", 3, "abc"},
        {"NUL is a byte like others", std::string("a\0b", 3), 3, "a%00b"},
        {"zero length", "abc", 0, ""},
        {"negative length", "abc", -5, ""},
        {"comma and question mark", ",?#/", -1, "%2c%3f%23%2f"},
    };
    for (const auto& c : cases) {
        const int len = c.length == -1 ? static_cast<int>(c.input.size()) : c.length;
        EXPECT_EQ(urlEncode(c.input.data(), len), c.expected) << c.label;
    }
    EXPECT_EQ(urlEncode(nullptr, 0), "") << "length 0 does not read the pointer";
}

TEST(UrlEncode, EveryByteValue) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const std::string out = urlEncode(all.data(), 256);
    std::size_t pos = 0;
    int passed = 0;
    for (int b = 0; b < 256; ++b) {
        const bool alnum =
            (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z');
        if (alnum) {
            ASSERT_EQ(out[pos], static_cast<char>(b)) << b;
            ++pos;
            ++passed;
        } else if (b == ' ') {
            ASSERT_EQ(out[pos], '+');
            ++pos;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02x", b);
            ASSERT_EQ(out.substr(pos, 3), hex) << b;
            pos += 3;
        }
    }
    EXPECT_EQ(pos, out.size());
    EXPECT_EQ(passed, 62);
}

TEST(ConvertInt, DecimalText) {
    EXPECT_EQ(convertInt(0), "0");
    EXPECT_EQ(convertInt(7), "7");
    EXPECT_EQ(convertInt(-42), "-42");
    EXPECT_EQ(convertInt(INT_MAX), "2147483647");
    EXPECT_EQ(convertInt(INT_MIN), "-2147483648");
}

TEST(EscapeControls, OnlyBytesThatWouldBreakTheRequestLine) {
    EXPECT_EQ(escapeControls("0171 1234"), "0171%201234");
    EXPECT_EQ(escapeControls("1\nHOST: evil"), "1%0aHOST:%20evil");
    EXPECT_EQ(escapeControls(std::string("\x00\x1f\x7f", 3)), "%00%1f%7f");
    EXPECT_EQ(escapeControls("a&b=c#d+e%f?"), "a&b=c#d+e%f?") << "printable ASCII unchanged";
    EXPECT_EQ(escapeControls("\xfc\x80"), "\xfc\x80") << "high bytes unchanged";
}

// The copy rule: a canary-filled buffer shows every byte written.
TEST(StrCopy, WritesOnlyWhatTheRuleAllows) {
    struct Case {
        const char* label;
        std::string text;
        int size;
        std::size_t copied;  // bytes of text expected in the buffer
        bool terminator;
    };
    const std::string t99(99, 'a'), t100(100, 'b'), t150(150, 'c');
    const Case cases[] = {
        {"OK into 100", "OK", 100, 2, true},
        {"empty text", "", 100, 0, true},
        {"size 1 writes only NUL", "OK", 1, 0, true},
        {"size 3 fits OK", "OK", 3, 2, true},
        {"size 2 cuts", "OK", 2, 1, true},
        {"99 into 100", t99, 100, 99, true},
        {"100 into 100", t100, 100, 99, true},
        {"150 into 100", t150, 100, 99, true},
        {"size 0 writes nothing", "OK", 0, 0, false},
        {"negative size writes nothing", "OK", -7, 0, false},
    };
    for (const auto& c : cases) {
        char buf[200];
        std::memset(buf, '#', sizeof buf);
        _strCopy(buf, c.text.c_str(), c.size);
        EXPECT_EQ(std::string(buf, c.copied), c.text.substr(0, c.copied)) << c.label;
        std::size_t next = c.copied;
        if (c.terminator) {
            EXPECT_EQ(buf[next], '\0') << c.label;
            ++next;
        }
        for (std::size_t i = next; i < sizeof buf; ++i) {
            ASSERT_EQ(buf[i], '#') << c.label << ": byte " << i << " was touched";
        }
    }
}

Message sample() {
    Message m;
    m.kdnr = "12345";
    m.firma = 3;
    m.user = "ab c";
    m.key = "k&y";
    m.msg =
        "Gr\xfc\xdf"
        "e\\nBye";
    m.receiver = "0171234567";
    return m;
}

LocalFacts facts() {
    return {"192.168.1.7", "jo doe", "pc-7"};
}

TEST(ComposeQuery, KeysInOrderWithTheirEncodings) {
    Message m = sample();
    EXPECT_EQ(composeQuery(m, facts()),
              "?kdnr=12345&firma=3&user=ab+c&key=k%26y&msg=Gr%fc%dfe%5cnBye"
              "&receiver=0171234567&ip=192.168.1.7&localuser=jo+doe&host=pc-7");

    m.time = "";
    EXPECT_EQ(composeQuery(m, facts()).find("&time="), std::string::npos) << "empty time";
    m.time = "2026-12-07 10:00";
    m.test = true;
    const std::string q = composeQuery(m, facts());
    EXPECT_NE(q.find("&receiver=0171234567&time=2026-12-07%2010:00&ip="), std::string::npos) << q;
    EXPECT_EQ(q.substr(q.size() - 7), "&test=1") << "test is last, after host";
}

TEST(ComposeQuery, EmptyValuesKeepTheirKeys) {
    Message m;
    m.kdnr = m.user = m.key = m.msg = m.receiver = "";
    m.firma = -1;
    EXPECT_EQ(composeQuery(m, LocalFacts{}),
              "?kdnr=&firma=-1&user=&key=&msg=&receiver=&ip=&localuser=&host=");
}

TEST(ComposeQuery, RawValuesCannotForgeTheRequest) {
    Message m = sample();
    m.kdnr = "1 HTTP/1.1\nX: y";
    m.receiver = "0171&test=1";  // printable: stays as the caller gave it
    LocalFacts f = facts();
    f.host = "evil\r\nHOST: x";
    const std::string q = composeQuery(m, f);
    EXPECT_EQ(q.find_first_of(std::string(" \r\n\t\0", 5)), std::string::npos) << q;
    EXPECT_NE(q.find("?kdnr=1%20HTTP/1.1%0aX:%20y&"), std::string::npos) << q;
    EXPECT_NE(q.find("&receiver=0171&test=1&"), std::string::npos) << q;
    EXPECT_NE(q.find("&host=evil%0d%0aHOST:%20x"), std::string::npos) << q;
}

TEST(ComposeRequest, DirectAndProxyForms) {
    Gateway gw{"sms.example.net", 8080, "/ZelvoServlet"};
    EXPECT_EQ(composeRequest("?kdnr=1", gw, false),
              "GET /ZelvoServlet?kdnr=1 HTTP/1.1\nHOST: sms.example.net\nConnection: close\n\n");
    EXPECT_EQ(composeRequest("?kdnr=1", gw, true),
              "GET http://sms.example.net:8080/ZelvoServlet?kdnr=1 HTTP/1.1\n"
              "HOST: sms.example.net\nConnection: close\n\n");
}

TEST(UsesProxy, NullAndEmptyMeanDirect) {
    EXPECT_FALSE(usesProxy(nullptr));
    EXPECT_FALSE(usesProxy(""));
    EXPECT_TRUE(usesProxy("proxy"));
}

}  // namespace
