// Request composition with arbitrary field values and local facts: the
// request always has exactly one request line and two header lines, and
// the request target holds no byte that could end or split it.
//
// Input: byte 0 = flags (test, proxy form, time present, gateway choice),
// bytes 1-4 = firma, bytes 5-6 = gateway port, then the NUL-separated values
// of kdnr, user, key, msg, receiver, time, local address, local user, local
// host name (missing ones are empty).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "request.h"

namespace {

std::vector<std::string> splitAtNul(const char* p, std::size_t n, std::size_t count) {
    std::vector<std::string> parts(count);
    std::size_t field = 0;
    for (std::size_t i = 0; i < n && field < count; ++i) {
        if (p[i] == '\0') {
            ++field;
        } else {
            parts[field] += p[i];
        }
    }
    return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 7) return 0;
    const std::uint8_t flags = data[0];
    const auto firma = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(data[1]) << 24 | static_cast<std::uint32_t>(data[2]) << 16 |
        static_cast<std::uint32_t>(data[3]) << 8 | static_cast<std::uint32_t>(data[4]));
    const std::vector<std::string> v =
        splitAtNul(reinterpret_cast<const char*>(data) + 7, size - 7, 9);

    zelvonet::Message m;
    m.kdnr = v[0].c_str();
    m.firma = firma;
    m.user = v[1].c_str();
    m.key = v[2].c_str();
    m.msg = v[3].c_str();
    m.receiver = v[4].c_str();
    m.time = (flags & 4) != 0 ? v[5].c_str() : nullptr;
    m.test = (flags & 1) != 0;
    const zelvonet::LocalFacts facts{v[6], v[7], v[8]};

    static const char* const hosts[] = {"localhost", "127.0.0.1", "sms-gateway.invalid"};
    zelvonet::Gateway gw;
    gw.host = hosts[(flags >> 3) % 3];
    gw.port = data[5] << 8 | data[6];
    const bool proxy = (flags & 2) != 0;

    const std::string request =
        zelvonet::composeRequest(zelvonet::composeQuery(m, facts), gw, proxy);

    // Three lines and the blank line, LF only, nothing behind.
    ZELVOFUZZ_CHECK(std::count(request.begin(), request.end(), '\n') == 4, request);
    ZELVOFUZZ_CHECK(std::count(request.begin(), request.end(), '\r') == 0, request);
    ZELVOFUZZ_CHECK(request.size() >= 2 && request.compare(request.size() - 2, 2, "\n\n") == 0,
                    request);
    const std::size_t l1 = request.find('\n');
    const std::size_t l2 = request.find('\n', l1 + 1);
    const std::size_t l3 = request.find('\n', l2 + 1);
    const std::string line1 = request.substr(0, l1);
    ZELVOFUZZ_CHECK(request.substr(l1 + 1, l2 - l1 - 1) == "HOST: " + gw.host, request);
    ZELVOFUZZ_CHECK(request.substr(l2 + 1, l3 - l2 - 1) == "Connection: close", request);

    // "GET ", one request target without blanks or controls, " HTTP/1.1".
    ZELVOFUZZ_CHECK(line1.compare(0, 4, "GET ") == 0, request);
    ZELVOFUZZ_CHECK(line1.size() > 13 && line1.compare(line1.size() - 9, 9, " HTTP/1.1") == 0,
                    request);
    const std::string target = line1.substr(4, line1.size() - 13);
    for (char c : target) {
        const auto b = static_cast<unsigned char>(c);
        ZELVOFUZZ_CHECK(b > 0x20 && b != 0x7F, request);
    }

    const std::string path =
        (proxy ? "http://" + gw.host + ":" + std::to_string(gw.port) : std::string()) +
        "/ZelvoServlet?kdnr=";
    ZELVOFUZZ_CHECK(target.compare(0, path.size(), path) == 0, request);
    ZELVOFUZZ_CHECK(target.find("&firma=" + std::to_string(firma) + "&user=") != std::string::npos,
                    request);
    // The test flag is the last key. Without it the host name ends the
    // target, and a host name may itself end in "&test=1".
    if (m.test) {
        ZELVOFUZZ_CHECK(target.size() >= 7 && target.compare(target.size() - 7, 7, "&test=1") == 0,
                        request);
    }
    return 0;
}
