// The body of a submission, POST /v1/messages: a JSON object whose fields
// are known and of the right type. What the values mean is checked after.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "submission.h"

namespace zelvoqueue {

struct DecodeError {
    unsigned status = 400;  // 400, or 415 for another content type
    std::string field;      // "" when the body as a whole is wrong
    std::string why;
};

// The body as a JSON object in `*j`, or why not.
std::optional<DecodeError> decodeObject(const std::string& contentType, const std::string& body,
                                        nlohmann::json* j);

// The fields of `body` into `*s` (to, text, time, account as strings;
// test, truncate, replace as booleans; ttl a whole number of seconds, at
// least 1; to and text needed), or the first that is wrong.
std::optional<DecodeError> decodeSubmission(const std::string& contentType, const std::string& body,
                                            Submission* s);

}  // namespace zelvoqueue
