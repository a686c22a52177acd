#include "nxllWideStringCategories.h"

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include "nxllSync.h"

#include "plErrors.h"

// Written by the build (nxUnicodeCategoriesGen).
extern const std::uint8_t nxUnicodeCategoriesResourceData[];
extern const std::size_t nxUnicodeCategoriesResourceSize;

std::span<const std::uint8_t> nxUnicodeCategoriesResource() {
  return {nxUnicodeCategoriesResourceData, nxUnicodeCategoriesResourceSize};
}

namespace {

struct CategoryTable {
  // Pages by high byte; a missing page means "no category" for all 256 units.
  std::array<std::unique_ptr<TnxCategoriesArray>, 256> pages;
  std::array<TnxRangeArray, nxCharacterCategoryCount> ranges;
};

TnxLazyPadlock gTableLock;
std::atomic<bool> gLoaded{false};
CategoryTable gCategoryTable;  // complete before gLoaded is set; read-only afterwards

std::int32_t readInt32(const std::uint8_t* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return static_cast<std::int32_t>(v);
}

[[noreturn]] void malformed() { throw platform::RangeError("Unicode category table is malformed"); }

void buildTable(CategoryTable& aTable) {
  const auto res = nxUnicodeCategoriesResource();
  std::size_t pos = 0;
  while (pos < res.size()) {
    if (res.size() - pos < 5) malformed();
    const std::uint8_t cat = res[pos];
    const std::int32_t count = readInt32(&res[pos + 1]);
    pos += 5;
    if (cat >= nxCharacterCategoryCount || count < 0 ||
        static_cast<std::uint64_t>(count) * 8 > res.size() - pos)
      malformed();
    TnxRangeArray& ranges = aTable.ranges[cat];
    ranges.resize(static_cast<std::size_t>(count));
    for (TnxRange& r : ranges) {
      r.rngStart = readInt32(&res[pos]);
      r.rngStop = readInt32(&res[pos + 4]);
      pos += 8;
    }
    for (const TnxRange& r : ranges) {
      if (r.rngStop < r.rngStart) continue;
      const std::int32_t first = r.rngStart < 0 ? 0 : r.rngStart;
      const std::int32_t last = r.rngStop > 0xFFFF ? 0xFFFF : r.rngStop;
      for (std::int32_t cp = first; cp <= last; ++cp) {
        auto& page = aTable.pages[static_cast<std::size_t>(cp >> 8)];
        if (!page) page = std::make_unique<TnxCategoriesArray>(256);
        (*page)[static_cast<std::size_t>(cp & 0xFF)].include(static_cast<TnxCharacterCategory>(cat));
      }
    }
  }
}

void ensureLoaded() {
  if (gLoaded.load(std::memory_order_acquire)) return;
  TnxPadlockGuard guard(gTableLock);
  if (gLoaded.load(std::memory_order_relaxed)) return;
  CategoryTable fresh;
  buildTable(fresh);  // a failure leaves gCategoryTable untouched and the flag clear
  gCategoryTable = std::move(fresh);
  gLoaded.store(true, std::memory_order_release);
}

}  // namespace

bool nxWideCharInCategories(char16_t aChar, const TnxCharacterCategories& aCategories) {
  ensureLoaded();
  const auto& page = gCategoryTable.pages[aChar >> 8];
  if (!page) return false;
  return (*page)[aChar & 0xFF].intersects(aCategories);
}
