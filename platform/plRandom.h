// Random bytes from the kernel (getrandom), for keys, salts and IVs.
// Thread safety: any thread.
#pragma once

#include <cstddef>

namespace platform {

// Fills aBuffer with aCount random bytes; blocks only until the kernel pool
// is initialised. Never fills short: a failure raises OsError.
void randomBytes(void* aBuffer, std::size_t aCount);

}  // namespace platform
