// Handles of the operating system: file descriptors, and events that are
// descriptors too (an event handle counts its signals; a waiter reads them).
// Thread safety: every function may be called from any thread; a handle is
// closed once, by its owner.
#pragma once

#include <cstdint>

namespace platform {

// Closes the descriptor; false (errno set) when the system refuses.
bool closeHandle(int aHandle);

// A new event handle with no signal pending; -1 (errno set) when refused.
int createEventHandle();
// Adds one signal; false (errno set) when the handle is not an event.
bool signalEventHandle(int aHandle);
// Waits for signals and takes them all; answers their number, 0 on failure
// (errno set).
std::uint64_t takeEventSignals(int aHandle);

// A second descriptor of the same open handle; -1 (errno set) when refused.
int duplicateHandle(int aHandle);
// Whether the descriptor is open now.
bool isOpenHandle(int aHandle);

}  // namespace platform
