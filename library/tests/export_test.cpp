// The two exports as a program that loads the library sees them: the same
// request and results from sendSMS2 without test and from sendSMS, and the
// built-in gateway in the request. The proxy form reaches a loopback peer,
// since the built-in gateway's port may not be free here.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_peer.h"
#include "zelvonet/zelvonet.h"

using zelvotest::FakePeer;
using zelvotest::PeerScript;

namespace {

PeerScript replying(const std::string& reply) {
    PeerScript s;
    s.pieces = {reply};
    return s;
}

std::string viaSendSMS2(bool test, const std::string& reply, int* result, std::string* answer,
                        int size = 100, const char* key = "k") {
    FakePeer proxy(replying(reply));
    char buf[100];
    std::memset(buf, '#', sizeof buf);
    *result = sendSMS2("1", 1, "u", key, "m", "0171", nullptr, "127.0.0.1", proxy.port(), test, buf,
                       size);
    *answer = size > 0 ? std::string(buf) : std::string();
    return proxy.request();
}

std::string viaSendSMS(const std::string& reply, int* result, std::string* answer, int size = 100,
                       const char* key = "k") {
    FakePeer proxy(replying(reply));
    char buf[100];
    std::memset(buf, '#', sizeof buf);
    *result = sendSMS("1", 1, "u", key, "m", "0171", nullptr, "127.0.0.1", proxy.port(), buf, size);
    *answer = size > 0 ? std::string(buf) : std::string();
    return proxy.request();
}

TEST(Exports, SendSMSIsSendSMS2WithoutTest) {
    const std::string replies[] = {
        "HTTP/1.1 200 OK\r\n\r\nOK",
        "HTTP/1.1 200 OK\r\n\r\nUnbekannter Kunde\n",
        "HTTP/1.1 200 OK\n\nOK",
        "",
    };
    for (const std::string& reply : replies) {
        int r2 = -1, r1 = -1;
        std::string a2, a1;
        const std::string q2 = viaSendSMS2(false, reply, &r2, &a2);
        const std::string q1 = viaSendSMS(reply, &r1, &a1);
        EXPECT_EQ(q1, q2) << "request bytes differ for reply " << reply;
        EXPECT_EQ(r1, r2);
        EXPECT_EQ(a1, a2);
        EXPECT_EQ(q1.find("test="), std::string::npos);
        EXPECT_NE(q1.find("&host="), std::string::npos);
    }
    int r = -1;
    std::string a;
    EXPECT_NE(viaSendSMS2(true, "HTTP/1.1 200 OK\r\n\r\nOK", &r, &a).find("&test=1 HTTP/1.1\n"),
              std::string::npos);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(a, "OK");
}

TEST(Exports, RequestNamesTheBuiltInGateway) {
    int r = -1;
    std::string a;
    const std::string req = viaSendSMS("HTTP/1.1 200 OK\r\n\r\nOK", &r, &a);
    EXPECT_EQ(req.rfind("GET http://localhost:8080/ZelvoServlet?kdnr=1&firma=1&user=u&key=k&msg=m"
                        "&receiver=0171&ip=",
                        0),
              0u)
        << req;
    EXPECT_NE(req.find(" HTTP/1.1\nHOST: localhost\nConnection: close\n\n"), std::string::npos);
}

TEST(Exports, SameTextsTruncatedAlike) {
    int r2 = -1, r1 = -1;
    std::string a2, a1;
    viaSendSMS2(false, "HTTP/1.1 200 OK\r\n\r\nAbgelehnt\n", &r2, &a2, 4);
    viaSendSMS("HTTP/1.1 200 OK\r\n\r\nAbgelehnt\n", &r1, &a1, 4);
    EXPECT_EQ(a2, "Abg");
    EXPECT_EQ(a1, a2);
    EXPECT_EQ(r1, 1);

    char b1[100] = "untouched", b2[100] = "untouched";
    EXPECT_EQ(sendSMS(nullptr, 1, "u", "k", "m", "r", nullptr, nullptr, 0, b1, sizeof b1), 1);
    EXPECT_EQ(sendSMS2(nullptr, 1, "u", "k", "m", "r", nullptr, nullptr, 0, false, b2, sizeof b2),
              1);
    EXPECT_STREQ(b1, "[ERROR] Pflichtfeld fehlt: kdnr");
    EXPECT_STREQ(b2, b1);
}

}  // namespace
