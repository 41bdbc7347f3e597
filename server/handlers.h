// The command groups of the request port. Each function adds its group's handlers to the
// table; a new group gets its own file and one line in BuildRequestCommands().
#pragma once

#include "server/dispatch.h"

namespace zq::server {

// 4 log out, 5 verification image, 6 log in, 7 version check (session_commands.cpp).
void RegisterSessionCommands(CommandTable& table);

}  // namespace zq::server
