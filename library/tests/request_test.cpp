// The request's exact bytes: the value encodings, the copy rule for the
// answer buffer, the query's keys and the request text in both forms.
#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <string>

#include "request.h"

using namespace zelvonet;

namespace {

TEST(UrlEncode, EveryByteAndTheLength) {
    std::string all, expected;
    for (int b = 0; b < 256; ++b) {
        all += static_cast<char>(b);
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02x", b);
        expected += std::isalnum(b) && b < 128 ? std::string(1, static_cast<char>(b))
                    : b == ' '                 ? std::string("+")
                                               : std::string(hex);
    }
    EXPECT_EQ(urlEncode(all.data(), 256), expected);
    EXPECT_EQ(urlEncode("abc def", 3), "abc") << "reads only length bytes";
    EXPECT_EQ(urlEncode("abc", 0), "");
    EXPECT_EQ(urlEncode(nullptr, 0), "") << "length 0 does not read the pointer";
}

// Which value is refused as too long: each field in turn one byte past the
// limit, the others at it; the real limit is the most a 32-bit count states.
TEST(OverlongField, EachValueAgainstTheLimit) {
    static_assert(kMaxValueLength == 2147483647);
    const char* names[] = {"kdnr", "user", "key", "msg", "receiver", "time"};
    for (int i = -1; i < 6; ++i) {
        Message m;
        const char** field[] = {&m.kdnr, &m.user, &m.key, &m.msg, &m.receiver, &m.time};
        for (int f = 0; f < 6; ++f) *field[f] = f == i ? "abcd" : "abc";
        const char* got = overlongField(m, 3);
        EXPECT_STREQ(got, i < 0 ? nullptr : names[i]) << i;
    }
    Message none;  // null values are not measured
    EXPECT_EQ(overlongField(none, 0), nullptr);
}

TEST(ConvertInt, DecimalText) {
    for (int v : {0, 7, -42, INT_MAX, INT_MIN}) EXPECT_EQ(convertInt(v), std::to_string(v));
}

TEST(EscapeControls, OnlyBytesThatWouldBreakTheRequestLine) {
    EXPECT_EQ(escapeControls("1\nHOST: evil"), "1%0aHOST:%20evil");
    EXPECT_EQ(escapeControls(std::string("\x00\x1f\x7f", 3)), "%00%1f%7f");
    EXPECT_EQ(escapeControls("a&b=c#d+e%f?!~"), "a&b=c#d+e%f?!~") << "printable ASCII stays";
    EXPECT_EQ(escapeControls("\xfc\x80\xff"), "\xfc\x80\xff") << "high bytes stay";
}

// A canary-filled buffer shows every byte written.
TEST(StrCopy, WritesOnlyWhatTheRuleAllows) {
    struct Case {
        std::string text;
        int size;
        int copied;  // bytes of text in the buffer, -1: not even a NUL
    };
    const Case cases[] = {{"OK", 100, 2},
                          {"", 100, 0},
                          {"OK", 1, 0},
                          {"OK", 3, 2},
                          {"OK", 2, 1},
                          {std::string(99, 'a'), 100, 99},
                          {std::string(100, 'b'), 100, 99},
                          {std::string(150, 'c'), 100, 99},
                          {"OK", 0, -1},
                          {"OK", -7, -1}};
    for (const Case& c : cases) {
        char buf[200];
        std::memset(buf, '#', sizeof buf);
        _strCopy(buf, c.text.c_str(), c.size);
        std::string want =
            c.copied < 0 ? "" : c.text.substr(0, static_cast<std::size_t>(c.copied)) + '\0';
        want.resize(sizeof buf, '#');
        EXPECT_EQ(std::string(buf, sizeof buf), want) << c.text.size() << " into " << c.size;
    }
}

Message sample() {
    return Message{"12345", -3, "ab c", "k&y", "Gr\374\337e\\nBye", "+49171234567"};
}

TEST(ComposeQuery, KeysInOrderWithTheirEncodings) {
    const LocalFacts facts{"192.168.1.7", "jo doe", "pc-7.lan"};
    Message m = sample();
    EXPECT_EQ(composeQuery(m, facts),
              "?kdnr=12345&firma=-3&user=ab+c&key=k%26y&msg=Gr%fc%dfe%5cnBye"
              "&receiver=+49171234567&ip=192.168.1.7&localuser=jo+doe&host=pc-7.lan");
    m.time = "";
    m.proxyHost = "proxy";
    EXPECT_EQ(composeQuery(m, facts).find("time"), std::string::npos) << "empty time";
    m.time = "2026-12-07 10:00";
    m.test = true;
    EXPECT_EQ(composeQuery(m, facts),
              "?kdnr=12345&firma=-3&user=ab+c&key=k%26y&msg=Gr%fc%dfe%5cnBye"
              "&receiver=+49171234567&time=2026-12-07%2010:00&ip=192.168.1.7"
              "&localuser=jo+doe&host=pc-7.lan&test=1");
    Message empty;
    empty.kdnr = empty.user = empty.key = empty.msg = empty.receiver = "";
    EXPECT_EQ(composeQuery(empty, LocalFacts{}),
              "?kdnr=&firma=0&user=&key=&msg=&receiver=&ip=&localuser=&host=");
}

TEST(ComposeQuery, RawValuesCannotForgeTheRequest) {
    Message m = sample();
    m.kdnr = "1 HTTP/1.1\nX: y";
    m.receiver = "0171&test=1";  // printable: stays as the caller gave it
    const LocalFacts facts{"", "", "evil\r\nHOST: x"};
    EXPECT_EQ(composeQuery(m, facts),
              "?kdnr=1%20HTTP/1.1%0aX:%20y&firma=-3&user=ab+c&key=k%26y&msg=Gr%fc%dfe%5cnBye"
              "&receiver=0171&test=1&ip=&localuser=&host=evil%0d%0aHOST:%20x");
}

TEST(ComposeRequest, DirectAndProxyForms) {
    const Gateway gw{"sms.example.net", 8080, "/ZelvoServlet"};
    EXPECT_EQ(composeRequest("?kdnr=1", gw, false),
              "GET /ZelvoServlet?kdnr=1 HTTP/1.1\nHOST: sms.example.net\nConnection: close\n\n");
    EXPECT_EQ(composeRequest("?kdnr=1", gw, true),
              "GET http://sms.example.net:8080/ZelvoServlet?kdnr=1 HTTP/1.1\n"
              "HOST: sms.example.net\nConnection: close\n\n");
}

}  // namespace
