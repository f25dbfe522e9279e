// The customer accounts the simulator knows. An account is written
// KDNR:FIRMA:USER:KEY (UTF-8); the key is everything after the third colon,
// so it may itself contain colons.
#pragma once

#include <string>
#include <vector>

namespace zelvogw {

struct Account {
    std::string kdnr;  // customer number, as it arrives in the query
    long firma = 0;    // company number
    std::string user;  // user abbreviation, Latin-1
    std::string key;   // the account's key, Latin-1
};

// A company number as decimal text: an optional "-" and digits, within the
// range of a 32-bit int.
bool parseFirma(const std::string& text, long* out);

// The account the simulator serves when none is given.
Account demoAccount();

// Parses one account; on failure returns false and says why in `error`.
bool parseAccount(const std::string& entry, Account* out, std::string* error);

// Reads an account file: one account per line, blank lines and lines
// starting with "#" ignored. On failure returns false and names the line.
bool loadAccounts(const std::string& path, std::vector<Account>* out, std::string* error);

}  // namespace zelvogw
