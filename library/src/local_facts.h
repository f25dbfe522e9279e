#pragma once

#include "request.h"

namespace zelvonet {

// Gathers the user name, the host name and, when the host name was read, its
// first IPv4 address, afresh on every call: nothing is kept from one call to
// the next. Nothing of it can fail the call: a fact that cannot be found is
// empty. The socket layer must be started.
LocalFacts gatherLocalFacts();

}  // namespace zelvonet
