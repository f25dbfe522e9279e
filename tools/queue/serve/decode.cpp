#include "decode.h"

#include <map>

namespace zelvoqueue {

namespace {

bool isJson(const std::string& type) {
    std::string lower;
    for (char c : type.substr(0, type.find(';'))) {
        if (c != ' ' && c != '\t')
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower == "application/json";
}

}  // namespace

std::optional<DecodeError> decodeObject(const std::string& contentType, const std::string& body,
                                        nlohmann::json* j) {
    if (!isJson(contentType)) return DecodeError{415, "", "the body must be application/json"};
    try {
        *j = nlohmann::json::parse(body);
    } catch (const nlohmann::json::exception& e) {
        return DecodeError{400, "", std::string("the body is not JSON: ") + e.what()};
    }
    if (!j->is_object()) return DecodeError{400, "", "the body must be a JSON object"};
    return std::nullopt;
}

std::optional<DecodeError> decodeSubmission(const std::string& contentType, const std::string& body,
                                            Submission* s) {
    nlohmann::json j;
    if (auto bad = decodeObject(contentType, body, &j)) return bad;
    const std::map<std::string, std::string*> texts = {
        {"to", &s->to}, {"text", &s->text}, {"time", &s->time}, {"account", &s->account}};
    const std::map<std::string, bool*> flags = {
        {"test", &s->test}, {"truncate", &s->truncate}, {"replace", &s->replace}};
    for (const auto& [name, value] : j.items()) {
        if (const auto t = texts.find(name); t != texts.end()) {
            if (!value.is_string()) return DecodeError{400, name, "must be a string"};
            *t->second = value.get<std::string>();
        } else if (const auto f = flags.find(name); f != flags.end()) {
            if (!value.is_boolean()) return DecodeError{400, name, "must be true or false"};
            *f->second = value.get<bool>();
        } else if (name == "ttl") {
            if (!value.is_number_integer() || value.get<long long>() < 1 ||
                value.get<long long>() > 100LL * 365 * 86400) {
                return DecodeError{400, name, "must be a whole number of seconds, at least 1"};
            }
            s->ttl = value.get<long long>();
        } else {
            return DecodeError{400, name, "unknown field"};
        }
    }
    for (const char* needed : {"to", "text"}) {
        if (!j.contains(needed)) return DecodeError{400, needed, "missing"};
    }
    return std::nullopt;
}

}  // namespace zelvoqueue
