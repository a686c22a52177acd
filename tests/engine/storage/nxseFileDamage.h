// Damage kit: one damaged value in a copy of a table file image (a header
// field, a count, a block number, an owner ID, an LSN, an engine header
// value, any byte), drawn from a fixed seed; blocks of given signatures
// (index nodes, BLOB blocks) can be made the target of half the draws.
#pragma once

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "nxseTableTestSupport.h"

namespace nxtest {

class FileDamager {
 public:
  explicit FileDamager(std::uint32_t aSeed) : random_(aSeed) {}
  void seed(std::uint32_t aSeed) { random_.seed(aSeed); }
  std::uint32_t next() { return static_cast<std::uint32_t>(random_()); }
  std::uint32_t pick(std::uint32_t aBound) { return next() % aBound; }

  // A copy of aImage with one damaged value; aWhat names it. With aFocus,
  // half the draws damage a block whose signature is one of aFocus.
  std::vector<std::uint8_t> damage(const std::vector<std::uint8_t>& aImage, std::string& aWhat,
                                   const std::vector<std::string>& aFocus = {}) {
    std::vector<std::uint8_t> d = aImage;
    const std::uint32_t blocks = static_cast<std::uint32_t>(d.size() / kBlock);
    const std::uint32_t usable = nxseGetU32(d.data() + 20);
    const std::uint32_t used = nxseGetU32(d.data() + 32);
    auto value = [&]() -> std::uint32_t {
      static const std::uint32_t kValues[] = {0, 1, 2, 3, 0x7F, 0xFF, 0x7FFF, 0xFFFF, 0x7FFFFFFE, 0x7FFFFFFF,
                                              0x80000000u, 0xFFFFFFFFu, 1048581};
      switch (pick(4)) {
        case 0: return kValues[pick(std::size(kValues))];
        case 1: return used + pick(8) - 4;
        case 2: return pick(blocks + 4);
        default: return next();
      }
    };
    if (!aFocus.empty() && pick(2)) {
      std::vector<std::uint32_t> targets;
      for (std::uint32_t n = 1; n < blocks; ++n)
        for (const std::string& s : aFocus)
          if (std::memcmp(d.data() + std::size_t{n} * kBlock, s.data(), 4) == 0) targets.push_back(n);
      if (!targets.empty()) {
        const std::uint32_t block = targets[pick(static_cast<std::uint32_t>(targets.size()))];
        std::uint8_t* b = d.data() + std::size_t{block} * kBlock;
        const std::string kind(reinterpret_cast<const char*>(b), 4);
        std::uint32_t at = 0;
        switch (pick(3)) {
          case 0:  // a link, count or child number of the node or BLOB header
            at = 16 + 4 * pick(12);
            nxsePutU32(b + at, value());
            break;
          case 1:  // first slot, count, kind, index number, the first children
            at = 32 + pick(24);
            b[at] = static_cast<std::uint8_t>(next());
            break;
          default:
            at = pick(usable);
            b[at] = static_cast<std::uint8_t>(next());
            break;
        }
        aWhat = kind + " block " + std::to_string(block) + " at " + std::to_string(at);
        return d;
      }
    }
    const std::uint32_t block = pick(blocks);
    std::uint8_t* b = d.data() + std::size_t{block} * kBlock;
    std::uint32_t at = 0;
    switch (pick(8)) {
      case 0:  // a block-0 field: block size, sizes, free set, used blocks, version, names, free cache
        at = std::vector<std::uint32_t>{16, 17, 20, 24, 28, 32, 36, 40, 72, 104, 108, 180}[pick(12)];
        nxsePutU32(d.data() + at, value());
        aWhat = "header field at " + std::to_string(at);
        return d;
      case 1:  // the section directory and the sections of block 0
        at = 256 + pick(usable > 300 ? usable - 260 : 40);
        d[at] = static_cast<std::uint8_t>(next());
        aWhat = "block 0 byte " + std::to_string(at);
        return d;
      case 2:
        nxsePutU32(b + 4, value());
        aWhat = "block number of " + std::to_string(block);
        return d;
      case 3:
        if (usable + 4 <= kBlock) nxsePutU32(b + usable, value());
        aWhat = "owner ID of " + std::to_string(block);
        return d;
      case 4: {
        const std::uint64_t lsn = pick(2) ? (std::uint64_t{value()} << 32) | next() : 0x7FFFFFFFFFFFFFFFull;
        std::memcpy(b + 8, &lsn, 8);
        aWhat = "LSN of " + std::to_string(block);
        return d;
      }
      case 5:  // a count or link in an engine block's header (chains, slots, heap and index headers, BLOB roots)
        at = 16 + 2 * pick(20);
        nxsePutU32(b + at, value());
        aWhat = "engine header of " + std::to_string(block) + " at " + std::to_string(at);
        return d;
      case 6:  // a byte near the end of the usable area (heap slot directories, record slots)
        at = usable > 64 ? usable - 1 - pick(64) : 0;
        b[at] = static_cast<std::uint8_t>(next());
        aWhat = "block " + std::to_string(block) + " byte " + std::to_string(at);
        return d;
      default:
        at = pick(kBlock);
        b[at] = static_cast<std::uint8_t>(next());
        aWhat = "block " + std::to_string(block) + " byte " + std::to_string(at);
        return d;
    }
  }

 private:
  std::mt19937 random_;
};

}  // namespace nxtest
