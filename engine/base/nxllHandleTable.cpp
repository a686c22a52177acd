#include "nxllHandleTable.h"

#include "plErrors.h"

namespace {
constexpr std::uint32_t kIndexMask = TnxHandleTable::kMaxSlots;
}

TnxHandle TnxHandleTable::Add(void* aObject, TnxHandleKind aKind) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t index;
  if (!free_.empty()) {
    index = free_.front();
    free_.pop_front();
  } else {
    if (slots_.size() >= kMaxSlots) throw platform::OutOfMemory();
    slots_.emplace_back();
    index = static_cast<std::uint32_t>(slots_.size() - 1);
  }
  Slot& s = slots_[index];
  s.object = aObject;
  s.kind = aKind;
  ++live_;
  return (s.generation << kIndexBits) | (index + 1);
}

const TnxHandleTable::Slot* TnxHandleTable::liveSlot(TnxHandle aHandle, TnxHandleKind aKind) const {
  const std::uint32_t field = aHandle & kIndexMask;
  if (field == 0 || field > slots_.size()) return nullptr;
  const Slot& s = slots_[field - 1];
  if (!s.object || s.kind != aKind || s.generation != (aHandle >> kIndexBits)) return nullptr;
  return &s;
}

bool TnxHandleTable::Remove(TnxHandle aHandle, TnxHandleKind aKind) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!liveSlot(aHandle, aKind)) return false;
  const std::uint32_t index = (aHandle & kIndexMask) - 1;
  Slot& s = slots_[index];
  s.object = nullptr;
  s.kind = nullptr;
  --live_;
  // A slot whose generations are spent is never reused: a wrapped generation
  // would let an old handle match again.
  if (s.generation < kMaxGeneration) {
    ++s.generation;
    free_.push_back(index);
  }
  return true;
}

void* TnxHandleTable::Lookup(TnxHandle aHandle, TnxHandleKind aKind) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Slot* s = liveSlot(aHandle, aKind);
  return s ? s->object : nullptr;
}

std::size_t TnxHandleTable::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return live_;
}

TnxHandleTable& nxHandleTable() {
  static TnxHandleTable* table = new TnxHandleTable;  // never freed, see header
  return *table;
}
