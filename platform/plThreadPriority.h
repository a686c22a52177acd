// The calling thread's scheduling priority on the engine's scale: -15 (idle)
// to 15 (time critical), 0 normal. Kept as the thread's nice value (nice =
// -priority, clamped to -20..19). Best effort: a change the process lacks the
// privilege for is ignored.
#pragma once

namespace platform {

int currentThreadPriority();
// False when the system refused the change.
bool setCurrentThreadPriority(int aPriority);

}  // namespace platform
