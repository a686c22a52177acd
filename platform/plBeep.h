// The system beep (MessageBeep). There is no console bell here: the beep is
// a hook that the window layer installs (Qt's beep); until then a beep does
// nothing. Tests install a counting hook.
// Thread safety: install the hook at start-up; messageBeep may be called from
// any thread.
#pragma once

#include <cstdint>

namespace platform {

// aType as MessageBeep's (0: the default sound).
using BeepHook = void (*)(std::uint32_t aType);

// Installs aHook (null: none) and answers the one it replaced.
BeepHook setBeepHook(BeepHook aHook);
void messageBeep(std::uint32_t aType);

}  // namespace platform
