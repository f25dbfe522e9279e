// The decoding of a submission's body (POST /v1/messages): whatever the
// bytes, it ends with the fields or with a reason that names a known field
// (or none); and fields it accepted, written out again as JSON, decode to
// the same fields.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "decode.h"
#include "fuzz_check.h"

namespace {

bool same(const zelvoqueue::Submission& a, const zelvoqueue::Submission& b) {
    return a.to == b.to && a.text == b.text && a.time == b.time && a.account == b.account &&
           a.test == b.test && a.truncate == b.truncate && a.replace == b.replace && a.ttl == b.ttl;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    zelvoqueue::Submission s;
    const auto bad = zelvoqueue::decodeSubmission("application/json", body, &s);
    if (bad) {
        static const std::set<std::string> kFields = {
            "", "to", "text", "time", "account", "test", "truncate", "replace", "ttl"};
        nlohmann::json j;
        const bool object = !zelvoqueue::decodeObject("application/json", body, &j);
        // An unknown field is named as it came; every other reason names a known one.
        ZELVOFUZZ_CHECK(bad->status == 400, body);
        ZELVOFUZZ_CHECK(kFields.count(bad->field) || (object && j.contains(bad->field)), body);
        return 0;
    }
    nlohmann::json again = {{"to", s.to},           {"text", s.text}, {"time", s.time},
                            {"account", s.account}, {"test", s.test}, {"truncate", s.truncate},
                            {"replace", s.replace}};
    if (s.ttl != 0) again["ttl"] = s.ttl;
    zelvoqueue::Submission t;
    const auto badAgain =
        zelvoqueue::decodeSubmission("application/json; charset=utf-8", again.dump(), &t);
    ZELVOFUZZ_CHECK(!badAgain && same(s, t), body);
    return 0;
}
