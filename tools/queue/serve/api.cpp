#include "api.h"

#include <chrono>
#include <nlohmann/json.hpp>
#include <regex>

#include "alertmanager.h"
#include "decode.h"
#include "message_json.h"
#include "page.h"
#include "submission.h"

namespace zelvoqueue {

namespace {

using nlohmann::json;

Response jsonResponse(unsigned status, const json& body) {
    Response r;
    r.status = status;
    r.body = dumpJson(body) + "\n";
    return r;
}

Response busy(const std::string& why) {
    Response r =
        errorResponse(503, "the queue's database stayed busy; nothing was stored (" + why + ")");
    r.headers.emplace_back("Retry-After", "5");
    return r;
}

Response decodeError(const DecodeError& e) {
    return errorResponse(e.status, e.why, e.field);
}

std::string bearer(const std::string& header) {
    constexpr char kScheme[] = "bearer ";
    if (header.size() <= 7) return "";
    for (std::size_t i = 0; i < 7; ++i) {
        if (std::tolower(static_cast<unsigned char>(header[i])) != kScheme[i]) return "";
    }
    const auto start = header.find_first_not_of(' ', 7);
    return start == std::string::npos ? "" : header.substr(start);
}

bool mayRead(Scope s) {
    return s == Scope::Read || s == Scope::Admin;
}
bool maySend(Scope s) {
    return s == Scope::Send || s == Scope::Admin;
}

}  // namespace

Response errorResponse(unsigned status, const std::string& why, const std::string& field) {
    json j = {{"error", why}};
    if (!field.empty()) j["field"] = field;
    return jsonResponse(status, j);
}

Api::Api(Store& store, Tokens& tokens, const Config& config)
    : store_(store), tokens_(tokens), config_(config), intake_(store) {}

Response Api::handle(const Request& r) {
    static const std::regex kMessage(R"(/v1/messages/([0-9]{1,18})(/retry|/drop)?)");
    std::smatch m;
    const bool get = r.method == "GET" || r.method == "HEAD";
    const bool post = r.method == "POST";
    const auto notAllowed = [](const char* allow) {
        Response res = errorResponse(405, std::string("allowed: ") + allow);
        res.headers.emplace_back("Allow", allow);
        return res;
    };
    if (auto page = pageResponse(r)) return *page;  // GET /, its script and style
    if (r.path == "/healthz") {
        if (!get) return notAllowed("GET, HEAD");
        try {
            store_.stats();
            return Response{200, "ok\n", "text/plain; charset=utf-8", {}, "-"};
        } catch (const std::exception& e) {
            return Response{503,
                            "the queue's database does not answer\n",
                            "text/plain; charset=utf-8",
                            {},
                            "-"};
        }
    }
    if (r.path == "/metrics" && config_.serveMetrics) {
        if (!get) return notAllowed("GET, HEAD");
        return metrics();
    }
    // Which of the token's routes, before the token is looked at.
    enum { kMessages, kOne, kDecide, kStats, kAlerts } route;
    if (r.path == "/v1/messages") {
        route = kMessages;
        if (!get && !post) return notAllowed("GET, HEAD, POST");
    } else if (std::regex_match(r.path, m, kMessage)) {
        route = m[2].matched ? kDecide : kOne;
        if (route == kOne && !get) return notAllowed("GET, HEAD");
        if (route == kDecide && !post) return notAllowed("POST");
    } else if (r.path == "/v1/stats") {
        route = kStats;
        if (!get) return notAllowed("GET, HEAD");
    } else if (r.path == "/v1/alertmanager") {
        route = kAlerts;
        if (!post) return notAllowed("POST");
    } else {
        return errorResponse(404, "no such resource");
    }

    const std::string presented = bearer(r.authorization);
    const auto token = presented.empty() ? std::nullopt : tokens_.find(presented);
    if (!token) {
        Response res = errorResponse(401, r.authorization.empty()
                                              ? "a token is needed: Authorization: Bearer TOKEN"
                                              : "the token is not valid");
        res.headers.emplace_back("WWW-Authenticate", r.authorization.empty()
                                                         ? "Bearer realm=\"zelvo-queue\""
                                                         : "Bearer realm=\"zelvo-queue\", "
                                                           "error=\"invalid_token\"");
        return res;
    }
    const auto forbidden = [&](const char* what) {
        Response res = errorResponse(403, std::string("the token may not ") + what);
        res.token = token->name;
        return res;
    };
    Response res;
    const long long id = route == kOne || route == kDecide ? std::stoll(m[1].str()) : 0;
    switch (route) {
        case kMessages:
            if (post) {
                res = maySend(token->scope) ? submit(r, *token) : forbidden("submit messages");
            } else {
                res = messages(r, *token);
            }
            break;
        case kOne:
            res = message(id, *token);
            break;
        case kDecide:
            res = token->scope == Scope::Admin ? decide(id, m[2] == "/retry", *token)
                                               : forbidden("retry or drop messages");
            break;
        case kStats:
            res = mayRead(token->scope) ? jsonResponse(200, statsJson(store_.stats()))
                                        : forbidden("read the whole queue");
            break;
        case kAlerts:
            res = maySend(token->scope) ? alertmanager(r, *token) : forbidden("submit messages");
            break;
    }
    res.token = token->name;
    return res;
}

std::optional<Response> Api::overRate(const std::string& token) {
    if (withinRate(token)) return std::nullopt;
    Response res = errorResponse(429, "too many submissions for this token in one second");
    res.headers.emplace_back("Retry-After", "1");
    return res;
}

bool Api::withinRate(const std::string& token) {
    const long long second = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    std::lock_guard<std::mutex> hold(mu_);
    auto& [at, n] = rate_[token];
    if (at != second) {
        at = second;
        n = 0;
    }
    return ++n <= config_.perTokenPerSecond;
}

Response Api::submit(const Request& r, const TokenEntry& t) {
    if (auto busy = overRate(t.name)) return *busy;
    Submission s;
    if (auto bad = decodeSubmission(r.contentType, r.body, &s)) return decodeError(*bad);
    if (r.hasIdempotencyKey && r.idempotencyKey.empty()) {
        return errorResponse(400, "empty", "Idempotency-Key");
    }
    s.dedupKey = r.idempotencyKey;
    Checked c = checkSubmission(s, &config_, false);
    if (!c.field.empty()) {
        return errorResponse(400, c.error, c.field == "dedup_key" ? "Idempotency-Key" : c.field);
    }
    c.message.dedupScope = "token:" + t.name;
    c.message.submitter = t.name;
    return answer(commit(c.message), r.hasIdempotencyKey);
}

Intake::Result Api::commit(const NewMessage& m) {
    Intake::Result res = intake_.submit(m);
    std::lock_guard<std::mutex> hold(mu_);
    ++submissions_;
    return res;
}

Response Api::answer(const Intake::Result& res, bool keyed) {
    switch (res.outcome) {
        case Intake::Outcome::Stored:
            return jsonResponse(201, {{"id", res.id}, {"state", "queued"}});
        case Intake::Outcome::Duplicate: {
            const auto first = store_.get(res.id);
            return jsonResponse(
                200, {{"id", res.id}, {"state", first ? stateName(first->state) : "dropped"}});
        }
        case Intake::Outcome::Conflict:
            return errorResponse(409, std::string("the ") + (keyed ? "Idempotency-Key" : "key") +
                                          " belongs to another message with other fields; "
                                          "nothing was stored");
        case Intake::Outcome::Busy:
            return busy(res.why);
        case Intake::Outcome::Open:
            return errorResponse(500,
                                 "the connection to the database was lost during the commit and "
                                 "whether the message was stored could not be learned; repeat "
                                 "the request with the same Idempotency-Key");
        case Intake::Outcome::Refused:
            break;
    }
    return errorResponse(500, "the database refused the message: " + res.why);
}

Response Api::alertmanager(const Request& r, const TokenEntry& t) {
    if (auto busy = overRate(t.name)) return *busy;
    json j;
    if (auto bad = decodeObject(r.contentType, r.body, &j)) return decodeError(*bad);
    AlertNotification n;
    try {
        n = readAlertNotification(j);
    } catch (const std::invalid_argument& e) {
        return errorResponse(400, e.what());
    }
    std::vector<NewMessage> messages;
    for (const auto& [name, value] : r.query) {
        if (name != "to") continue;
        Submission s;
        s.to = value;
        s.text = n.text;
        s.truncate = s.replace = true;
        s.dedupKey = alertKey(n, value);
        s.dedupWindow = static_cast<double>(config_.alertmanagerWindow);
        Checked c = checkSubmission(s, &config_, false);
        if (!c.field.empty()) return errorResponse(400, c.error, c.field);
        c.message.dedupScope = "token:" + t.name;
        c.message.submitter = t.name;
        messages.push_back(std::move(c.message));
    }
    if (messages.empty()) return errorResponse(400, "name a recipient: ?to=RECIPIENT", "to");
    json ids = json::array();
    for (const NewMessage& m : messages) {
        const Intake::Result res = commit(m);
        if (res.outcome != Intake::Outcome::Stored && res.outcome != Intake::Outcome::Duplicate) {
            return answer(res, true);
        }
        ids.push_back(res.id);
    }
    return jsonResponse(200, {{"ids", ids}});
}

Response Api::message(long long id, const TokenEntry& t) {
    const auto m = store_.get(id);
    // A send token sees only its own: another's is as if it were not there.
    if (!m || (!mayRead(t.scope) && m->submitter != t.name)) {
        return errorResponse(404, "no message " + std::to_string(id));
    }
    return jsonResponse(200, messageDetail(*m));
}

Response Api::messages(const Request& r, const TokenEntry& t) {
    std::optional<State> only;
    long long after = 0, limit = 100;
    for (const auto& [name, value] : r.query) {
        if (name == "state") {
            only = stateFromName(value);
            if (!only) return errorResponse(400, "no state \"" + value + "\"", "state");
        } else if (name == "limit" || name == "after") {
            long long v = -1;
            if (!value.empty() && value.size() <= 18 &&
                value.find_first_not_of("0123456789") == std::string::npos) {
                v = std::stoll(value);
            }
            if (name == "limit" ? v < 1 || v > 1000 : v < 0) {
                return errorResponse(400, name == "limit" ? "1 to 1000" : "a message id", name);
            }
            (name == "limit" ? limit : after) = v;
        } else {
            return errorResponse(400, "unknown parameter", name);
        }
    }
    const auto found =
        store_.page(only, after, static_cast<int>(limit), mayRead(t.scope) ? "" : t.name);
    json list = json::array();
    for (const Message& m : found) list.push_back(messageSummary(m));
    const bool more = static_cast<long long>(found.size()) == limit;
    return jsonResponse(200, {{"messages", list}, {"next", more ? json(found.back().id) : json()}});
}

Response Api::decide(long long id, bool retry, const TokenEntry& t) {
    const std::string who = "token " + t.name;
    const Change c = retry ? store_.retry(id, who) : store_.drop(id, who);
    if (c == Change::NoSuchMessage) return errorResponse(404, "no message " + std::to_string(id));
    if (c == Change::NotAllowed) {
        const auto m = store_.get(id);
        return errorResponse(
            409, "message " + std::to_string(id) + " is " + (m ? stateName(m->state) : "gone") +
                     (retry ? "; only unknown, failed or expired messages can be queued again"
                            : "; only queued, unknown, failed or expired messages can be dropped"));
    }
    return jsonResponse(200, {{"id", id}, {"state", retry ? "queued" : "dropped"}});
}

void Api::finished(unsigned status, double seconds) {
    std::lock_guard<std::mutex> hold(mu_);
    ++statuses_[status];
    latency_.observe(seconds);
}

Response Api::metrics() {
    std::string text;
    try {
        text = queueMetrics(store_.health());
    } catch (const std::exception&) {
        // the interface's own figures still
    }
    text += metricsText();
    return Response{200, text, kMetricsType, {}, "-"};
}

std::string Api::metricsText() const {
    std::lock_guard<std::mutex> hold(mu_);
    std::vector<std::pair<std::string, long long>> statuses;
    for (const auto& [status, n] : statuses_) statuses.emplace_back(std::to_string(status), n);
    return counterFamily("zelvo_queue_serve_requests_total",
                         "Requests the interface answered, by status.", "status", statuses) +
           latency_.text("zelvo_queue_serve_request_duration_seconds",
                         "How long the interface took to answer, in seconds.") +
           "# HELP zelvo_queue_serve_submissions_total Submissions handed to the database.\n"
           "# TYPE zelvo_queue_serve_submissions_total counter\n"
           "zelvo_queue_serve_submissions_total " +
           std::to_string(submissions_) +
           "\n# HELP zelvo_queue_serve_commits_total Transactions that stored submissions.\n"
           "# TYPE zelvo_queue_serve_commits_total counter\n"
           "zelvo_queue_serve_commits_total " +
           std::to_string(intake_.commits()) + "\n";
}

}  // namespace zelvoqueue
