// A message as a caller hands it over, `add` on the command line or the
// HTTP interface, checked and converted in one place: as the command-line
// sender checks it, and against the runner's configuration.
#pragma once

#include <string>

#include "config.h"
#include "store.h"

namespace zelvoqueue {

constexpr std::size_t kMaxDedupKeyBytes = 200;

struct Submission {
    std::string to;    // "01711234567", "+49 171 1234567"
    std::string text;  // UTF-8
    std::string time;  // the gateway's time value; empty: none
    std::string account;
    bool test = false;
    bool truncate = false;  // keep the first 160 characters of a longer text
    bool replace = false;   // "?" for characters outside Latin-1
    long long ttl = 0;      // seconds; 0: the runner's
    std::string dedupKey;
    double dedupWindow = 0;  // seconds; 0: the configuration's, else 86400
};

struct Checked {
    std::string field;   // empty when the message can be stored: "to", "text", "time", "account",
                         // "dedup_key"
    std::string error;   // why not, for the caller (UTF-8)
    NewMessage message;  // with a new token
};

// `config` may be null (no configuration could be read): then any account
// name is taken and the key's window is 86400 s unless given. The texts
// name the fields as options ("--time") for the command line, else as
// the fields themselves ("time").
Checked checkSubmission(const Submission& s, const Config* config, bool commandLine);

}  // namespace zelvoqueue
