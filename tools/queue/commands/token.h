// `zelvo-queue token`: the tokens of `serve` in its token file. add prints a
// new token once and stores only its SHA-256; list names them; remove
// revokes one.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace zelvoqueue {

struct TokenArgs {
    std::string file;    // --tokens
    std::string action;  // "add", "list" or "remove"
    std::string name;
    std::string scope;
};

// Registers `token` with its subcommands add, list and remove on `app`; the
// words go into *args, which must outlive the parse.
CLI::App* addTokenCommand(CLI::App& app, TokenArgs* args);

// --tokens FILE, else $ZELVO_QUEUE_TOKENS, else /etc/zelvo/tokens: the file
// that `serve` reads too.
std::string tokenFilePath(const std::string& option);

// The exit status: 0 done, 1 no such name (remove) or the name exists (add),
// 2 the file cannot be read or written or others may read it, 64 usage.
int tokenCommand(const TokenArgs& args);

}  // namespace zelvoqueue
