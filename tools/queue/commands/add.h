// `zelvo-queue add`: checks a message as zelvo-send does and stores it,
// waiting out a busy database up to the caller's time limit.
#pragma once

#include <string>
#include <vector>

namespace zelvoqueue {

struct AddArgs {
    std::string to, time, account;
    bool test = false, truncate = false, replace = false;
    long long ttl = 0;
    std::vector<std::string> words;
    double waitSeconds = 20;
    std::string dedupKey;
    long long dedupWindow = 0;  // 0: the configuration's [limits] dedup-window
};

// The exit status: 0 stored (or the key's first message), 2 not stored
// within the time limit, 64 a message that cannot be sent.
int addMessage(const std::string& database, const std::string& configOption, const AddArgs& a);

}  // namespace zelvoqueue
