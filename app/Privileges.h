#pragma once

#include <string>

// Gives up every capability the process holds, before anything reads the environment or loads
// a plugin: the program never needs one (the port helper alone does). Refuses to go on when
// the program runs set-uid or set-gid. False with a reason when the program must not run.
bool giveUpPrivileges(std::string& why);
