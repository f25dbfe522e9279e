#include "submission.h"

#include "prepare.h"

namespace zelvoqueue {

namespace {

// The recipient as stored and shown: "+" and digits, or digits.
std::string displayReceiver(const std::string& prepared) {
    return prepared.rfind("%2b", 0) == 0 ? "+" + prepared.substr(3) : prepared;
}

}  // namespace

Checked checkSubmission(const Submission& s, const Config* config, bool commandLine) {
    Checked c;
    const auto text = zelvosend::prepareMessage(s.text, s.replace, s.truncate);
    const auto to = zelvosend::prepareReceiver(s.to);
    const auto time = zelvosend::prepareRaw(commandLine ? "--time" : "time", s.time, true);
    for (const auto& [field, p] : {std::pair<const char*, const zelvosend::Prepared*>{"to", &to},
                                   {"text", &text},
                                   {"time", &time}}) {
        if (!p->ok) {
            c.field = field;
            c.error = p->error;
            return c;
        }
    }
    if (s.dedupKey.size() > kMaxDedupKeyBytes) {
        c.field = "dedup_key";
        c.error = std::string(commandLine ? "--dedup-key: " : "") + "at most " +
                  std::to_string(kMaxDedupKeyBytes) + " bytes, not " +
                  std::to_string(s.dedupKey.size());
        return c;
    }
    if (config && !s.account.empty() && !config->accounts.count(s.account)) {
        c.field = "account";
        c.error = "no [account " + s.account + "] in the configuration";
        return c;
    }
    NewMessage& m = c.message;
    m.receiver = displayReceiver(to.value);
    m.body = text.value;
    m.time = time.value;
    m.test = s.test;
    m.account = s.account;
    m.ttl = s.ttl;
    m.token = newToken();
    m.dedupKey = s.dedupKey;
    m.dedupWindow = s.dedupWindow > 0   ? s.dedupWindow
                    : config != nullptr ? static_cast<double>(config->dedupWindow)
                                        : 86400;
    return c;
}

}  // namespace zelvoqueue
