#include "plBeep.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<BeepHook> gBeepHook{nullptr};
}  // namespace

BeepHook setBeepHook(BeepHook aHook) { return gBeepHook.exchange(aHook); }

void messageBeep(std::uint32_t aType) {
  if (const BeepHook hook = gBeepHook.load()) hook(aType);
}

}  // namespace platform
