// Process services asked for by name: shared objects (load, find one already
// loaded, look up a symbol, the file that holds an address), the program's
// own path, environment variables, and handlers run around fork().
//
// Thread safety: every function may be called from any thread. Handles stay
// valid while the process runs: modules are never unloaded here.
#pragma once

#include <string>

namespace platform {

using ModuleHandle = void*;

// Loads a shared object by path (every symbol resolved at once, none made
// global); nullptr when it is absent or cannot be loaded.
ModuleHandle loadModule(const std::string& aPath);
// The shared object of that name when the process has already loaded it;
// never loads it. nullptr otherwise.
ModuleHandle findLoadedModule(const std::string& aName);
// The address of an exported symbol; nullptr when the module lacks it.
void* moduleSymbol(ModuleHandle aModule, const char* aName);

// Full path of the program file; empty when the system does not say.
std::string programPath();
// Full path of the shared object (or program) holding aAddress; empty when
// no loaded file holds it.
std::string modulePathOf(const void* aAddress);

// The value of an environment variable; false (aValue untouched) when unset.
bool environmentVariable(const char* aName, std::string& aValue);

// Registers handlers run around every fork() of the process: aPrepare in the
// forking thread before it (handlers registered later run first), aParent
// and aChild after it in the parent and in the child (in registration
// order). In the child only the forking thread exists; aChild must make
// every lock usable again and may not wait for another thread.
void atFork(void (*aPrepare)(), void (*aParent)(), void (*aChild)());

}  // namespace platform
