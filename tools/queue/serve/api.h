// The interface's requests and answers, apart from HTTP's plumbing: which
// token may do what, the submissions, the lookups and a person's decisions.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "intake.h"
#include "metrics.h"
#include "store.h"
#include "tokens.h"

namespace zelvoqueue {

struct Request {
    std::string method;
    std::string path;  // without the query
    std::vector<std::pair<std::string, std::string>> query;
    std::string authorization;  // the header's value
    std::string contentType;
    std::string idempotencyKey;
    bool hasIdempotencyKey = false;
    std::string acceptLanguage;
    std::string body;
};

struct Response {
    unsigned status = 200;
    std::string body;
    std::string type = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string token;  // the token's name, for the log ("-": none)
};

// A JSON answer {"error": why} (with "field" when given).
Response errorResponse(unsigned status, const std::string& why, const std::string& field = "");

class Api {
  public:
    // `store` and `tokens` must outlive it.
    Api(Store& store, Tokens& tokens, const Config& config);

    // Thread-safe; blocks while a submission is committed.
    Response handle(const Request& r);

    // The figures of GET /metrics: the interface's own.
    void finished(unsigned status, double seconds);
    std::string metricsText() const;

  private:
    Response submit(const Request& r, const TokenEntry& t);
    Response alertmanager(const Request& r, const TokenEntry& t);
    Response message(long long id, const TokenEntry& t);
    Response messages(const Request& r, const TokenEntry& t);
    Response decide(long long id, bool retry, const TokenEntry& t);
    Response metrics();
    // Stores a checked message with the others waiting.
    Intake::Result commit(const NewMessage& m);
    // The answer to a submission that came to `res` (`keyed`: with an
    // Idempotency-Key of the caller's).
    Response answer(const Intake::Result& res, bool keyed);
    // False when the token has used its submissions of this second.
    bool withinRate(const std::string& token);
    // The 429 answer when it has.
    std::optional<Response> overRate(const std::string& token);

    Store& store_;
    Tokens& tokens_;
    const Config& config_;
    Intake intake_;

    mutable std::mutex mu_;
    std::map<std::string, std::pair<long long, int>> rate_;  // token: second, submissions
    std::map<unsigned, long long> statuses_;
    Histogram latency_{{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5}};
    long long submissions_ = 0;
};

}  // namespace zelvoqueue
