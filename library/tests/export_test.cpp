// The two exports as a program that loads the library sees them: sendSMS is
// sendSMS2 without the test flag, byte for byte and text for text, and the
// request names the built-in gateway. The proxy form reaches a loopback
// peer, since the built-in gateway's port may not be free here.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "peer.h"
#include "zelvonet/zelvonet.h"

namespace {

struct Call {
    std::string request, answer;
    int result = -1;
};

// One call of sendSMS2 (test false or true) or, with `viaSendSMS`, of sendSMS.
Call call(bool viaSendSMS, bool test, const std::string& reply, int size = 100,
          const char* kdnr = "1") {
    zelvotest::Peer proxy(zelvotest::replying({reply}));
    char buf[100];
    std::memset(buf, '#', sizeof buf);
    Call c;
    c.result = viaSendSMS ? sendSMS(kdnr, 1, "u", "k", "m", "0171", nullptr, "127.0.0.1",
                                    proxy.port(), buf, size)
                          : sendSMS2(kdnr, 1, "u", "k", "m", "0171", nullptr, "127.0.0.1",
                                     proxy.port(), test, buf, size);
    c.answer = std::string(buf, strnlen(buf, sizeof buf));
    c.request = kdnr != nullptr ? proxy.request() : "";
    return c;
}

TEST(Exports, SendSMSIsSendSMS2WithoutTest) {
    const std::string replies[] = {"HTTP/1.1 200 OK\r\n\r\nOK",
                                   "HTTP/1.1 200 OK\r\n\r\nAbgelehnt\n", "HTTP/1.1 200 OK\n\nOK",
                                   ""};
    for (const std::string& reply : replies) {
        for (int size : {100, 4}) {
            const Call two = call(false, false, reply, size);
            const Call one = call(true, false, reply, size);
            EXPECT_EQ(one.request, two.request) << reply;
            EXPECT_EQ(one.result, two.result) << reply;
            EXPECT_EQ(one.answer, two.answer) << reply;
            EXPECT_EQ(one.request.find("test"), std::string::npos);
        }
    }
    EXPECT_EQ(call(true, false, "HTTP/1.1 200 OK\r\n\r\nAbgelehnt\n", 4).answer, "Abg");
    const Call missing = call(true, false, "", 100, nullptr);
    EXPECT_EQ(missing.result, 1);
    EXPECT_EQ(missing.answer, "[ERROR] Pflichtfeld fehlt: kdnr");
    EXPECT_EQ(call(false, false, "", 100, nullptr).answer, missing.answer);
}

TEST(Exports, RequestNamesTheBuiltInGateway) {
    const Call c = call(false, true, "HTTP/1.1 200 OK\r\n\r\nOK");
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.answer, "OK");
    EXPECT_EQ(c.request.rfind("GET http://localhost:8080/ZelvoServlet?kdnr=1&firma=1&user=u&key=k"
                              "&msg=m&receiver=0171&ip=",
                              0),
              0u)
        << c.request;
    EXPECT_NE(c.request.find("&test=1 HTTP/1.1\nHOST: localhost\nConnection: close\n\n"),
              std::string::npos)
        << c.request;
}

}  // namespace
