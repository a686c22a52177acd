// The global allocator of this executable fails once when armed, so a
// test can make a container's growth throw where it does in the field.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "nxsrBufferManager.h"

namespace {
// Armed: the next global allocation of this thread throws.
thread_local bool gFailNextAllocation = false;
}  // namespace

void* operator new(std::size_t aSize) {
  if (gFailNextAllocation) {
    gFailNextAllocation = false;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(aSize ? aSize : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t aSize) { return ::operator new(aSize); }
void* operator new(std::size_t aSize, const std::nothrow_t&) noexcept {
  try {
    return ::operator new(aSize);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t aSize, const std::nothrow_t& aTag) noexcept { return ::operator new(aSize, aTag); }
// The replacement pair takes from and gives back to malloc; the compiler
// cannot see that they pair up.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* aPointer) noexcept { std::free(aPointer); }
#pragma GCC diagnostic pop
void operator delete[](void* aPointer) noexcept { ::operator delete(aPointer); }
void operator delete(void* aPointer, std::size_t) noexcept { ::operator delete(aPointer); }
void operator delete[](void* aPointer, std::size_t) noexcept { ::operator delete(aPointer); }
void operator delete(void* aPointer, const std::nothrow_t&) noexcept { ::operator delete(aPointer); }
void operator delete[](void* aPointer, const std::nothrow_t&) noexcept { ::operator delete(aPointer); }

namespace {

// An index operation pins a block, then hands the pin to its release list;
// when the list cannot grow, the pin must not stay behind.
TEST(ReleaseListAllocationTest, APinTheListCannotHoldIsReleased) {
  int released = 0;
  const TnxReleaseMethod method{[](void* aObject, PnxBlock& aBlock) {
                                  ++*static_cast<int*>(aObject);
                                  aBlock = nullptr;
                                },
                                &released};
  std::uint8_t blocks[64] = {};
  TnxReleaseList list;
  int added = 0;
  bool failed = false;
  gFailNextAllocation = true;  // the first add that allocates fails
  for (; added < 64 && !failed; ++added) {
    try {
      list.Add(&blocks[added], method);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
  }
  gFailNextAllocation = false;
  ASSERT_TRUE(failed);
  EXPECT_EQ(released, 1);  // the block of the failed add
  EXPECT_EQ(list.Count(), added - 1);
  list.Release();
  EXPECT_EQ(released, added);  // every pin once
}

}  // namespace
