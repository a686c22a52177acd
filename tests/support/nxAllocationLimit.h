// The sanitizer build refuses any single allocation above 1 GB (the
// process aborts with a report instead of growing): a size read from a
// damaged file or stream must be bounded before memory is taken for it.
// Use NX_TEST_ALLOCATION_LIMIT() once per test executable.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define NX_TEST_ALLOCATION_LIMIT()                                                  \
  extern "C" const char* __asan_default_options() {                                \
    return "max_allocation_size_mb=1024:allocator_may_return_null=0";              \
  }
#else
#define NX_TEST_ALLOCATION_LIMIT()
#endif
