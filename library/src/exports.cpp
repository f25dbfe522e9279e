// The library's two exports: thin wrappers over the send core with the
// built-in gateway and the default time-outs.
#include "zelvonet/zelvonet.h"

#include "send_core.h"

namespace {

int sendWithBuiltinGateway(const char* kdnr, int firma, const char* user, const char* key,
                           const char* msg, const char* receiver, const char* time,
                           const char* proxyHost, int proxyPort, bool test, char* answer,
                           int answerSize) {
    const zelvonet::Message m{kdnr,     firma, user,      key,       msg,
                              receiver, time,  proxyHost, proxyPort, test};
    return zelvonet::send(m, zelvonet::builtinGateway(), zelvonet::kDefaultTimeouts, answer,
                          answerSize)
        .result;
}

}  // namespace

extern "C" ZELVONET_API int sendSMS2(const char* kdnr, int firma, const char* user, const char* key,
                                     const char* msg, const char* receiver, const char* time,
                                     const char* proxyHost, int proxyPort, bool test, char* answer,
                                     int answerSize) {
    return sendWithBuiltinGateway(kdnr, firma, user, key, msg, receiver, time, proxyHost, proxyPort,
                                  test, answer, answerSize);
}

extern "C" ZELVONET_API int sendSMS(const char* kdnr, int firma, const char* user, const char* key,
                                    const char* msg, const char* receiver, const char* time,
                                    const char* proxyHost, int proxyPort, char* answer,
                                    int answerSize) {
    return sendWithBuiltinGateway(kdnr, firma, user, key, msg, receiver, time, proxyHost, proxyPort,
                                  false, answer, answerSize);
}
