// The review page that serve answers at GET /: its HTML, script and style
// (page/), embedded in the program when it is built. It holds no data and
// needs no token; its script reads the queue through the JSON API.
#pragma once

#include <optional>

#include "api.h"

namespace zelvoqueue {

// The answer for one of the page's paths (/, /app.js, /style.css): the file
// with a policy that lets it load only its own script and style and talk
// only to this server, or 405 for a method other than GET and HEAD. Nothing
// for any other path.
std::optional<Response> pageResponse(const Request& r);

}  // namespace zelvoqueue
