// The command line the process was started with.
// Thread safety: may be called from any thread.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The arguments after the program name, as the bytes the system passed them
// (UTF-8 by convention, not checked); empty when the system cannot say.
std::vector<std::string> commandLineArguments();

}  // namespace platform
