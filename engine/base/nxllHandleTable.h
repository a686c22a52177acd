// Process-wide table of 32-bit handles for objects that callers name by a
// number (component ids, notifier handles) instead of a pointer.
//
// A handle is a slot index plus the slot's generation: freeing a handle bumps
// the generation, so a stale handle never resolves to a later object that
// happens to occupy the same slot (or the same address). Handle 0 is never
// issued. Layout: bits 0-19 slot index + 1, bits 20-31 generation (1..4095).
// A slot whose generation is used up is retired for good rather than wrapped,
// and freed slots are reused oldest first, so generations are spent slowly.
//
// Each entry also carries a kind tag (the address of a tag object), so a
// handle of one kind never resolves as another kind.
//
// Thread safety: every operation may be called from any thread (one internal
// mutex). Lookup answers the object registered at that moment; keeping it
// alive afterwards is the caller's business. LookupAndTake closes that gap:
// it hands the object to the caller's take step (a reference or call count)
// under the same mutex that Remove takes, so an owner that removes the
// handle before it starts to destroy the object either comes first (the
// lookup fails) or sees the reference taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

using TnxHandle = std::uint32_t;
using TnxHandleKind = const void*;

class TnxHandleTable {
 public:
  static constexpr unsigned kIndexBits = 20;
  static constexpr std::uint32_t kMaxSlots = (1u << kIndexBits) - 1;
  static constexpr std::uint32_t kMaxGeneration = (1u << (32 - kIndexBits)) - 1;

  TnxHandleTable() = default;
  TnxHandleTable(const TnxHandleTable&) = delete;
  TnxHandleTable& operator=(const TnxHandleTable&) = delete;

  // A new handle for aObject (not null). Raises platform::OutOfMemory when
  // every slot is taken or retired.
  TnxHandle Add(void* aObject, TnxHandleKind aKind);
  // Frees the handle; false (nothing changed) for a stale, foreign or 0 handle.
  bool Remove(TnxHandle aHandle, TnxHandleKind aKind);
  // The object of a live handle of that kind, else null.
  void* Lookup(TnxHandle aHandle, TnxHandleKind aKind) const;
  // Calls aTake(object) for a live handle of that kind, with the table's
  // mutex held, and answers what it answered; false when the handle is not
  // live. REQUIRES: aTake is short, does not block and does not use the
  // table (it typically counts a reference on the object).
  template <class Take>
  bool LookupAndTake(TnxHandle aHandle, TnxHandleKind aKind, Take&& aTake) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Slot* s = liveSlot(aHandle, aKind);
    return s && aTake(s->object);
  }
  // Live handles.
  std::size_t Count() const;

 private:
  struct Slot {
    void* object = nullptr;
    TnxHandleKind kind = nullptr;
    std::uint32_t generation = 1;
  };
  // The slot of a live handle of that kind, else null. Mutex held.
  const Slot* liveSlot(TnxHandle aHandle, TnxHandleKind aKind) const;

  mutable std::mutex mutex_;
  std::vector<Slot> slots_;
  std::deque<std::uint32_t> free_;  // indexes of free slots, oldest first
  std::size_t live_ = 0;
};

// The process's table. Built on first use and never destroyed, so objects
// that outlive static destruction can still remove their handles.
TnxHandleTable& nxHandleTable();
