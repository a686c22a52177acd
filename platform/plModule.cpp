#include "plModule.h"

#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

ModuleHandle loadModule(const std::string& aPath) {
  if (aPath.empty()) return nullptr;
  return dlopen(aPath.c_str(), RTLD_NOW | RTLD_LOCAL);
}

ModuleHandle findLoadedModule(const std::string& aName) {
  if (aName.empty()) return nullptr;
  return dlopen(aName.c_str(), RTLD_NOW | RTLD_NOLOAD);
}

void* moduleSymbol(ModuleHandle aModule, const char* aName) {
  if (!aModule || !aName) return nullptr;
  return dlsym(aModule, aName);
}

std::string programPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  return std::string(path, std::size_t(n));
}

std::string modulePathOf(const void* aAddress) {
  Dl_info info;
  if (!dladdr(aAddress, &info) || !info.dli_fname || !*info.dli_fname) return {};
  std::string path = info.dli_fname;
  // Only the program itself is reported by the name it was started with.
  if (path[0] != '/') return programPath();
  return path;
}

bool environmentVariable(const char* aName, std::string& aValue) {
  const char* value = aName ? std::getenv(aName) : nullptr;
  if (!value) return false;
  aValue = value;
  return true;
}

void atFork(void (*aPrepare)(), void (*aParent)(), void (*aChild)()) { pthread_atfork(aPrepare, aParent, aChild); }

}  // namespace platform
