// The static-key B*-tree: ranges, iteration, record numbers and estimates.
#include "nxseIndexEngineStaticKeyBstarTreeOp.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "nxseHeaderAccess.h"
#include "nxsrTimeoutHandling.h"

// ---- Ranges ----------------------------------------------------------------------------------

std::int32_t TnxStaticKeyBstarTreeIndexEngine::CompareRange(const TnxRangeInfo& aRange, const void* aKey) {
  return bieKeyEngine->CompareKey(aRange.riKey, aKey, aRange.riFieldCount, aRange.riPartitial);
}

// Places aPath for a range end: a start on the crack before its first key,
// an end on the crack after its last. False when the range has no key there.
bool TnxStaticKeyBstarTreeIndexEngine::PlaceRange(Op& aOp, const TnxRangeInfo& aRange, bool aStart, Path* aPath,
                                                  TnxBaseFilterEngine* aKeyFilter) {
  aOp.SetCompare(aRange.riFieldCount, aRange.riPartitial);
  const TnxSearchKeyAction action = aStart ? (aRange.riExclusive ? skaGreater : skaGreaterEqual)
                                           : (aRange.riExclusive ? skaSmaller : skaSmallerEqual);
  bool found;
  try {
    found = InternalFindKey(aOp, aKeyFilter, action, aPath, 0, aRange.riKey);
  } catch (...) {
    aOp.SetCompare(0, 0);
    throw;
  }
  aOp.SetCompare(0, 0);
  return found && aPath->Position == ippOnKey;
}

bool TnxStaticKeyBstarTreeIndexEngine::RecordPasses(TnxBaseTransaction* aTrans, TnxRefNr aRefNr,
                                                    TnxBaseFilterEngine* aFilter) {
  if (!aFilter) return true;
  bool passed = false;
  ieRecordEngine->ReadRecordForIterate(
      aTrans, aRefNr, nullptr,
      [&](void*, TnxRefNr, PnxRecordBuffer) {
        passed = true;
        return rirContinue;
      },
      nullptr, aFilter);
  return passed;
}

void TnxStaticKeyBstarTreeIndexEngine::Iterate(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath,
                                               PnxRecordBuffer aData, const TnxKeyIterator& aKeyIterator,
                                               const TnxRecordIterator& aRecIterator, void* aCookie,
                                               const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                                               TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                               bool aKeepPosition) {
  IterateDirection(aTrans, aPath, aData, aKeyIterator, aRecIterator, aCookie, aRangeStart, aRangeEnd, aFilter,
                   aKeyFilter, aKeepPosition, false);
}

void TnxStaticKeyBstarTreeIndexEngine::IterateBackward(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath,
                                                       PnxRecordBuffer aData, const TnxKeyIterator& aKeyIterator,
                                                       const TnxRecordIterator& aRecIterator, void* aCookie,
                                                       const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                                                       TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                                       bool aKeepPosition) {
  IterateDirection(aTrans, aPath, aData, aKeyIterator, aRecIterator, aCookie, aRangeStart, aRangeEnd, aFilter,
                   aKeyFilter, aKeepPosition, true);
}

void TnxStaticKeyBstarTreeIndexEngine::IterateDirection(
    TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath, PnxRecordBuffer aData, const TnxKeyIterator& aKeyIterator,
    const TnxRecordIterator& aRecIterator, void* aCookie, const TnxRangeInfo& aRangeStart,
    const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter, bool aKeepPosition,
    bool aBackward) {
  Path* path = AsPath(aPath);
  aFilter = ActiveOrNil(aFilter);
  aKeyFilter = ActiveOrNil(aKeyFilter);
  if (aKeyFilter) aKeyFilter->kfCheckTimeOut = {};
  if (!ieRecordEngine)
    throw EnxStaticKeyBstarTreeIndexEngineException(nxErrNotSupported, u"%s requires a RecordEngine", {nxString(u"Iterate")});
  // A reader outside a transaction walks the committed state, as the key
  // searches do: there is no level to hold.
  if (aTrans) aTrans->Lock();
  struct Unlock {
    TnxBaseTransaction* trans;
    ~Unlock() {
      if (trans) trans->Unlock();
    }
  } unlock{aTrans};
  Op op(this, aTrans, false, 0, 0, nullptr, path);
  const TnxIndexPathPosition done = aBackward ? ippBof : ippEof;
  auto finish = [&] {
    if (aBackward)
      path->SetToBof();
    else
      path->SetToEof();
  };
  if (op.Root() == nxIdx::NoBlock) {
    finish();
    return;
  }
  // Forward: the range start is where the walk begins, the end the stop
  // mark; backward the other way round.
  const TnxRangeInfo& from = aBackward ? aRangeEnd : aRangeStart;
  const TnxRangeInfo& to = aBackward ? aRangeStart : aRangeEnd;
  bool keep = aKeepPosition;
  if (keep) {
    if (path->Position == ippUnknown || path->Position == done) {
      finish();
      return;
    }
    if (path->Position == (aBackward ? ippEof : ippBof)) {
      keep = false;
    } else {
      Validate(op, path);
      if (!path->KeyValid) keep = false;
    }
  }
  TnxOwned<Path> stop;
  if (to.riValid) {
    stop.reset(platform::create<Path>(this));
    if (!PlaceRange(op, to, aBackward, stop.get(), aKeyFilter)) {
      finish();
      return;
    }
  }
  // Sign of "a comes before b" in walking order.
  auto before = [&](std::int32_t aCompare) { return aBackward ? aCompare > 0 : aCompare < 0; };
  if (from.riValid) {
    if (keep) {
      const std::int32_t c = CompareRange(from, path->Key);
      if (before(-c) || (c == 0 && from.riExclusive)) {
        // The kept position lies before the range: start from its beginning.
        keep = false;
      }
    }
    if (!keep) {
      if (!PlaceRange(op, from, !aBackward, path, aKeyFilter)) {
        finish();
        return;
      }
      if (to.riValid) {
        const std::int32_t c = CompareRange(to, path->Key);
        if (before(c) || (c == 0 && to.riExclusive)) {
          finish();
          return;
        }
      }
      path->Position = aBackward ? ippOnCrackAfter : ippOnCrackBefore;
    }
  } else if (!keep) {
    if (aBackward)
      path->SetToEof();
    else
      path->SetToBof();
  }
  auto onStop = [&] {
    return stop && path->bpipPage == stop->bpipPage && path->bpipItem == stop->bpipItem &&
           (path->Position == ippOnKey || path->Position == (aBackward ? ippOnCrackBefore : ippOnCrackAfter));
  };
  if (path->Position == done || onStop()) {
    finish();
    return;
  }
  TnxBlockNumber leafSeen = path->bpipPage;
  for (;;) {
    const bool stepped = aBackward ? StepPrior(op, path, nullptr) : StepNext(op, path, nullptr);
    if (!stepped) {
      finish();
      return;
    }
    if (path->bpipPage != leafSeen) {
      leafSeen = path->bpipPage;
      op.release->Release();
      nxCheckTimeout();
    }
    const bool atStop = onStop();
    if (!aKeyFilter || aKeyFilter->MatchesKey(path->Key)) {
      TnxKeyIteratorResult keyResult = kirContinue;
      if (aKeyIterator) keyResult = aKeyIterator(aCookie, path->RefNr, path->Key);
      if (keyResult == kirStop) return;
      if (keyResult == kirContinue && aRecIterator) {
        if (aData) {
          ieRecordEngine->ReadRecord(aTrans, path->RefNr, aData);
          if ((!aFilter || aFilter->MatchesBuffer(aData)) && aRecIterator(aCookie, path->RefNr, aData) == rirStop)
            return;
        } else if (ieRecordEngine->ReadRecordForIterate(aTrans, path->RefNr, nullptr, aRecIterator, aCookie,
                                                        aFilter) == rirStop) {
          return;
        }
      }
    }
    if (atStop) {
      finish();
      return;
    }
  }
}

// Orders two paths on keys by their entries.
std::int32_t TnxStaticKeyBstarTreeIndexEngine::ComparePaths(Path* aA, Path* aB) {
  std::int32_t c = bieKeyEngine->CompareKey(aA->Key, aB->Key);
  if (c == 0 && ieLayout == TnxBstarTreeLayout::CacheRefs) return nxIdxTree::cmpRef(aA->CacheRefNr, aB->CacheRefNr);
  if (c == 0 && ieAddKeyRefsToKeys) c = nxIdxTree::cmpRef(aA->RefNr, aB->RefNr);
  return c;
}

TnxResult TnxStaticKeyBstarTreeIndexEngine::RecNoGet(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath,
                                                     const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                                                     TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                                     std::uint32_t& aRecNo, bool aFlipOrder) {
  aRecNo = 0;
  Path* path = AsPath(aPath);
  aFilter = ActiveOrNil(aFilter);
  aKeyFilter = ActiveOrNil(aKeyFilter);
  if (aFilter && !ieRecordEngine)
    throw EnxStaticKeyBstarTreeIndexEngineException(nxErrNotSupported, u"%s requires a RecordEngine if a filter is active",
                                                    {nxString(u"RecNoGet")});
  const bool back = aFlipOrder;
  Op op(this, aTrans, false, 0, 0, nullptr, path);
  Validate(op, path);
  if (TnxResult state = path->CheckCurrentState()) return state;
  if (!path->KeyValid) return 8709;
  const TnxRangeInfo& from = back ? aRangeEnd : aRangeStart;
  const TnxRangeInfo& to = back ? aRangeStart : aRangeEnd;
  auto before = [&](std::int32_t aCompare) { return back ? aCompare > 0 : aCompare < 0; };
  if (from.riValid) {
    const std::int32_t c = CompareRange(from, path->Key);
    if (before(-c) || (c == 0 && from.riExclusive)) return 8705;
  }
  if (to.riValid) {
    const std::int32_t c = CompareRange(to, path->Key);
    if (before(c) || (c == 0 && to.riExclusive)) return 8706;
  }
  TnxOwned<Path> walker(platform::create<Path>(this));
  if (from.riValid) {
    if (!PlaceRange(op, from, !back, walker.get(), aKeyFilter)) return 8706;
    walker->Position = back ? ippOnCrackAfter : ippOnCrackBefore;
  } else if (back) {
    walker->SetToEof();
  } else {
    walker->SetToBof();
  }
  std::uint32_t counted = 0;
  const std::uint32_t limit = op.Limit();
  if (!aFilter && !aKeyFilter) {
    // Whole leaves: each leaf adds its entries from the walking slot on.
    if (!(back ? StepPrior(op, walker.get(), nullptr) : StepNext(op, walker.get(), nullptr))) return 8706;
    TnxBlockNumber block = walker->bpipPage;
    std::int32_t slot = walker->bpipItem;
    for (std::uint32_t leaves = 0;; ++leaves) {
      if (leaves > limit) RaiseCorrupt(block);
      PnxBlock leaf = Fetch(op, block, false);
      if (leaf[nxIdx::Kind] != nxIdx::KindLeaf) RaiseCorrupt(block);
      const std::int32_t first = nxseGetU16(leaf + nxIdx::First), count = nxseGetU16(leaf + nxIdx::Count);
      if (block == path->bpipPage) {
        const std::int32_t n = back ? slot - path->bpipItem + 1 : path->bpipItem - slot + 1;
        if (n <= 0) return 8706;
        aRecNo = counted + static_cast<std::uint32_t>(n);
        return 0;
      }
      counted += static_cast<std::uint32_t>(back ? slot - first + 1 : first + count - slot);
      const TnxBlockNumber next = nxseGetU32(leaf + (back ? nxIdx::PrevLeaf : nxIdx::NextLeaf));
      if (next == nxIdx::NoBlock) return 8706;
      op.release->Release();
      PnxBlock nextLeaf = Fetch(op, next, false);
      if (nextLeaf[nxIdx::Kind] != nxIdx::KindLeaf || nxseGetU16(nextLeaf + nxIdx::Count) == 0) RaiseCorrupt(next);
      block = next;
      slot = back ? nxseGetU16(nextLeaf + nxIdx::First) + nxseGetU16(nextLeaf + nxIdx::Count) - 1
                  : nxseGetU16(nextLeaf + nxIdx::First);
    }
  }
  for (;;) {
    if (!(back ? StepPrior(op, walker.get(), nullptr) : StepNext(op, walker.get(), nullptr))) return 8706;
    if ((!aKeyFilter || aKeyFilter->MatchesKey(walker->Key)) && RecordPasses(aTrans, walker->RefNr, aFilter))
      ++counted;
    if (walker->bpipPage == path->bpipPage && walker->bpipItem == path->bpipItem) {
      aRecNo = counted;
      return 0;
    }
  }
}

TnxResult TnxStaticKeyBstarTreeIndexEngine::RecNoSet(TnxBaseTransaction* aTrans, std::uint32_t aRecNo,
                                                     TnxBaseIndexPath* aPath, const TnxRangeInfo& aRangeStart,
                                                     const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                                                     TnxBaseFilterEngine* aKeyFilter, bool aFlipOrder) {
  Path* path = AsPath(aPath);
  const bool back = aFlipOrder;
  auto toStart = [&] {
    if (back)
      path->SetToEof();
    else
      path->SetToBof();
  };
  auto toEnd = [&] {
    if (back)
      path->SetToBof();
    else
      path->SetToEof();
  };
  if (aRecNo == 0) {
    toStart();
    return back ? 8706 : 8705;
  }
  aFilter = ActiveOrNil(aFilter);
  aKeyFilter = ActiveOrNil(aKeyFilter);
  try {
    Op op(this, aTrans, false, 0, 0, nullptr, path);
    if (op.Root() == nxIdx::NoBlock) {
      toEnd();
      return back ? 8705 : 8706;
    }
    if (aFilter && !ieRecordEngine)
      throw EnxStaticKeyBstarTreeIndexEngineException(nxErrNotSupported, u"%s requires a RecordEngine if a filter is active",
                                                      {nxString(u"RecNoSet")});
    const TnxRangeInfo& from = back ? aRangeEnd : aRangeStart;
    const TnxRangeInfo& to = back ? aRangeStart : aRangeEnd;
    TnxOwned<Path> stop;
    if (to.riValid) {
      stop.reset(platform::create<Path>(this));
      if (!PlaceRange(op, to, back, stop.get(), aKeyFilter)) {
        toEnd();
        return path->CheckCurrentState();
      }
    }
    toStart();
    if (from.riValid) {
      if (!PlaceRange(op, from, !back, path, aKeyFilter)) {
        toEnd();
        return path->CheckCurrentState();
      }
      path->Position = back ? ippOnCrackAfter : ippOnCrackBefore;
    }
    auto atStop = [&] { return stop && path->bpipPage == stop->bpipPage && path->bpipItem == stop->bpipItem; };
    std::uint32_t remaining = aRecNo;
    if (!aFilter && !aKeyFilter) {
      if (!(back ? StepPrior(op, path, nullptr) : StepNext(op, path, nullptr))) return path->CheckCurrentState();
      TnxBlockNumber block = path->bpipPage;
      std::int32_t slot = path->bpipItem;
      const std::uint32_t limit = op.Limit();
      for (std::uint32_t leaves = 0;; ++leaves) {
        if (leaves > limit) RaiseCorrupt(block);
        PnxBlock leaf = Fetch(op, block, false);
        if (leaf[nxIdx::Kind] != nxIdx::KindLeaf) RaiseCorrupt(block);
        const std::int32_t first = nxseGetU16(leaf + nxIdx::First), count = nxseGetU16(leaf + nxIdx::Count);
        std::int32_t avail = back ? slot - first + 1 : first + count - slot;
        const bool stopHere = stop && stop->bpipPage == block;
        if (stopHere) avail = std::max(0, back ? slot - stop->bpipItem + 1 : stop->bpipItem - slot + 1);
        if (remaining <= static_cast<std::uint32_t>(avail)) {
          const std::int32_t target =
              back ? slot - static_cast<std::int32_t>(remaining - 1) : slot + static_cast<std::int32_t>(remaining - 1);
          TakeEntry(op, path, leaf, block, target);
          path->Position = ippOnKey;
          path->Deleted = false;
          return 0;
        }
        remaining -= static_cast<std::uint32_t>(avail);
        const TnxBlockNumber next = nxseGetU32(leaf + (back ? nxIdx::PrevLeaf : nxIdx::NextLeaf));
        if (stopHere || next == nxIdx::NoBlock) {
          toEnd();
          return path->CheckCurrentState();
        }
        op.release->Release();
        PnxBlock nextLeaf = Fetch(op, next, false);
        if (nextLeaf[nxIdx::Kind] != nxIdx::KindLeaf || nxseGetU16(nextLeaf + nxIdx::Count) == 0) RaiseCorrupt(next);
        block = next;
        slot = back ? nxseGetU16(nextLeaf + nxIdx::First) + nxseGetU16(nextLeaf + nxIdx::Count) - 1
                    : nxseGetU16(nextLeaf + nxIdx::First);
      }
    }
    for (;;) {
      if (!(back ? StepPrior(op, path, nullptr) : StepNext(op, path, nullptr))) return path->CheckCurrentState();
      if ((!aKeyFilter || aKeyFilter->MatchesKey(path->Key)) && RecordPasses(aTrans, path->RefNr, aFilter) &&
          --remaining == 0)
        return path->CheckCurrentState();
      if (atStop()) {
        toEnd();
        return path->CheckCurrentState();
      }
    }
  } catch (...) {
    path->SetToBof();
    throw;
  }
}

TnxResult TnxStaticKeyBstarTreeIndexEngine::EstimateRecordCount(TnxBaseTransaction* aTrans,
                                                                const TnxRangeInfo& aRangeStart,
                                                                const TnxRangeInfo& aRangeEnd,
                                                                std::uint32_t& aRecordCount, bool aFlipOrder) {
  aRecordCount = 0;
  const TnxRangeInfo& start = aFlipOrder ? aRangeEnd : aRangeStart;
  const TnxRangeInfo& end = aFlipOrder ? aRangeStart : aRangeEnd;
  Op op(this, aTrans, false, 0, 0, nullptr);
  if (op.Root() == nxIdx::NoBlock) return 0;
  TnxOwned<Path> lo(platform::create<Path>(this)), hi(platform::create<Path>(this));
  if (start.riValid) {
    if (PlaceRange(op, start, true, lo.get(), nullptr))
      lo->Position = ippOnCrackBefore;
    else
      lo->SetToEof();
  } else {
    lo->SetToBof();
  }
  if (end.riValid) {
    if (PlaceRange(op, end, false, hi.get(), nullptr))
      hi->Position = ippOnCrackAfter;
    else
      hi->SetToBof();
  } else {
    hi->SetToEof();
  }
  if (!StepNext(op, lo.get(), nullptr) || !StepPrior(op, hi.get(), nullptr)) return 0;
  if (lo->bpipPage == hi->bpipPage) {
    aRecordCount = static_cast<std::uint32_t>(std::max(0, hi->bpipItem - lo->bpipItem + 1));
    return 0;
  }
  if (ComparePaths(lo.get(), hi.get()) > 0) return 0;
  struct Step {
    std::int32_t first, count, slot;
  };
  auto descent = [&](Path* aPath) {
    std::vector<Level> levels;
    const Mode mode = ieAddKeyRefsToKeys || Keyless() ? Mode::KeyRef : Mode::Key;
    DescendToLeaf(op, mode, aPath->Key, EntryTie(op, aPath), skaEqualFirst, &levels);
    std::vector<Step> steps;
    for (const Level& l : levels) {
      PnxBlock node = Fetch(op, l.block, false);
      steps.push_back({0, nxseGetU16(node + nxIdx::Count), l.index});
    }
    PnxBlock leaf = Fetch(op, aPath->bpipPage, false);
    steps.push_back({nxseGetU16(leaf + nxIdx::First), nxseGetU16(leaf + nxIdx::Count), aPath->bpipItem});
    std::vector<TnxBlockNumber> blocks;
    for (const Level& l : levels) blocks.push_back(l.block);
    blocks.push_back(aPath->bpipPage);
    return std::make_pair(steps, blocks);
  };
  const auto [xs, xb] = descent(lo.get());
  const auto [ys, yb] = descent(hi.get());
  if (xs.size() != ys.size()) return 0;
  const double n = op.KeyCount(), p = op.PageCount();
  const double lmax = ieMaxLeafNodeKeyCount, imax = ieMaxInternalNodeKeyCount;
  const std::size_t d = xs.size() - 1;
  const double a = xs[0].count + 1.0;
  double r;
  if (d == 0) {
    r = n / lmax;
  } else if (d == 1) {
    r = p > 1 ? n / ((p - 1) * lmax) : 1;
  } else if (d == 2) {
    r = p - 1 - a > 0 ? n / ((p - 1 - a) * lmax) : 1;
  } else {
    // Fixed-point estimate of the fill ratio, bounded in rounds.
    double c = 0.5, g = 0, result = 1;
    for (int round = 0; round < 100; ++round) {
      g = a + 1;
      double f = g;
      for (std::size_t i = 0; i + 2 < d; ++i) {
        g = (imax + 1) * c * g;
        f += g;
      }
      const double base = (p - f) / a;
      if (base <= 0) break;
      const double m = std::pow(base, 1.0 / static_cast<double>(d - 1)) / (imax + 1);
      result = n / (lmax * g * m * (imax + 1));
      if (std::fabs(c - m) < 0.0001) break;
      c = m;
    }
    r = result;
  }
  double between = 0, outside = 0, w = 1;
  for (std::size_t level = d + 1; level-- > 0;) {
    const Step& x = xs[level];
    const Step& y = ys[level];
    const double extra = level == d ? 0 : 1;
    if (xb[level] != yb[level]) {
      between += w * (x.first + x.count - x.slot) + w * (y.slot - y.first + extra);
    } else if (y.slot > x.slot) {
      between += w * (y.slot - x.slot);
    }
    outside += w * (x.slot - x.first + extra) + w * (y.first + y.count - y.slot);
    w = level == d ? lmax * r : w * imax * r;
  }
  if (between + outside > 0) aRecordCount = static_cast<std::uint32_t>(std::trunc(between * n / (between + outside)));
  return 0;
}

std::int64_t TnxStaticKeyBstarTreeIndexEngine::SeqAccessLookup(TnxBaseTransaction* aTrans, TnxRefNr aCacheRefNr,
                                                               TnxBaseIndexPath* aPath) {
  if (!ieIsCacheSeqAccess) return 0;
  Path* given = platform::objectAs<Path>(aPath);
  TnxOwned<Path> temp;
  if (!given || given->bipIndexEngine != this) {
    temp.reset(platform::create<Path>(this));
    given = temp.get();
  }
  std::vector<std::uint8_t> key(bieKeyEngine->KeyLength(), 0);
  std::memcpy(key.data(), &aCacheRefNr, std::min<std::size_t>(8, key.size()));
  Op op(this, aTrans, false, 0, 0, nullptr);
  return InternalFindKey(op, nullptr, skaAnyEqual, given, 0, key.data()) ? given->RefNr : 0;
}
