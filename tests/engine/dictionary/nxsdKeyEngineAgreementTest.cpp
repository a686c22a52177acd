// One order, three ways: records compared with records, keys with keys and
// keys with records must agree over random data, and each must be a total
// order (antisymmetric, transitive).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "nxsdKeyEngineTestSupport.h"
#include "plDateTime.h"

namespace {

using nxsdkeytest::KeyEngineTest;
using Record = std::vector<std::uint8_t>;

constexpr int kRecords = 100000;

TEST_F(KeyEngineTest, RecordKeyAndKeyRecordOrdersAgree) {
  const auto fi = AddField(u"I", nxtInt32);
  const auto fw = AddField(u"W", nxtWideString, 8);
  const auto fs = AddField(u"S", nxtShortString, 12);
  const auto fd = AddField(u"D", nxtDateTime);
  const auto ff = AddField(u"F", nxtDouble);
  table.fields->Fields(fs)->AddLocaleDescriptor()->SetLocale(1041);  // stored in 932

  auto* k = NewKey();
  TnxKeyFieldDescriptor* ki = k->Add(fi);
  ki->SetAscend(false);
  ki->SetNullBehaviour(nbBottom);
  auto* kw = static_cast<TnxTextKeyFieldDescriptor*>(k->Add(fw, &TnxTextKeyFieldDescriptor::staticClassInfo()));
  kw->SetIgnoreCase(true);
  kw->AddLocaleDescriptor()->SetLocale(1041);
  k->Add(fs)->SetOverrideLengthChars(3);
  k->Add(fd)->SetKeyFieldEngine(u"DateOnlyMonth");
  k->Add(ff);
  auto engine = Engine(k);

  std::mt19937 rng(20261210);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const std::u16string alphabet = u"aAbB\u3042\u30A2\uFF71\u304B\u30AB\u6F22\u5B57-z";
  const std::string sjis[] = {"a", "B", "\x82\xA0", "\x83\x41", "\xB1", "\x8A\xBF", "c"};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double floats[] = {nan, 0.0, -0.0, 1.5, -2.25, 1e300, -1e-300};

  std::vector<Record> records;
  records.reserve(kRecords);
  for (int n = 0; n < kRecords; ++n) {
    Record r = NewRecord();
    if (pick(10)) Set<std::int32_t>(r, fi, pick(20) - 10);
    if (pick(10)) {
      std::u16string w;
      for (int i = pick(6); i > 0; --i) w += alphabet[static_cast<std::size_t>(pick(static_cast<int>(alphabet.size())))];
      SetWide(r, fw, w);
    }
    if (pick(10)) {
      std::string s;
      for (int i = pick(5); i > 0; --i) s += sjis[pick(7)];
      SetShort(r, fs, s);
    }
    if (pick(10)) Set<double>(r, fd, (738000.0 + pick(200)) * 86400000.0 + pick(86400000));
    if (pick(10)) Set<double>(r, ff, floats[pick(7)]);
    records.push_back(std::move(r));
  }

  std::vector<PnxKeyBuffer> built(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    built[i] = engine->AllocKey();
    ASSERT_EQ(engine->BuildKey(records[i].data(), built[i], 0, false), 0);
  }

  std::vector<std::size_t> order(records.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return engine->CompareRecord(records[a].data(), records[b].data()) < 0;
  });
  int failures = 0;
  for (std::size_t i = 0; i + 1 < order.size() && failures < 10; ++i) {
    const std::size_t a = order[i], b = order[i + 1];
    const int rr = engine->CompareRecord(records[a].data(), records[b].data());
    const int kk = engine->CompareKey(built[a], built[b]);
    const int kr = engine->CompareKeyToRecord(built[a], records[b].data(), 0);
    if (rr > 0 || kk != rr || kr != rr) {
      ++failures;
      ADD_FAILURE() << "at " << i << ": " << rr << " " << kk << " " << kr;
    }
  }

  for (int n = 0; n < kRecords && failures < 10; ++n) {
    const auto a = static_cast<std::size_t>(pick(kRecords)), b = static_cast<std::size_t>(pick(kRecords)),
               c = static_cast<std::size_t>(pick(kRecords));
    const int ab = engine->CompareKey(built[a], built[b]);
    if (engine->CompareKey(built[b], built[a]) != -ab || engine->CompareKeyToRecord(built[a], records[b].data(), 0) != ab ||
        engine->CompareRecord(records[a].data(), records[b].data()) != ab) {
      ++failures;
      ADD_FAILURE() << "pair " << a << " " << b;
    }
    const int bc = engine->CompareKey(built[b], built[c]);
    const int ac = engine->CompareKey(built[a], built[c]);
    if (ab <= 0 && bc <= 0 && ac > 0) {
      ++failures;
      ADD_FAILURE() << "not transitive " << a << " " << b << " " << c;
    }
    const std::int32_t fieldCount = pick(6);
    const std::int32_t partials[] = {0, 1, 2, 3, 5, nxPartialLenOfFirst, nxPartialLenOfSecond};
    const std::int32_t partial = partials[pick(7)];
    const int pk = engine->CompareKey(built[a], built[b], fieldCount, partial);
    const int pr = engine->CompareKeyToRecord(built[a], records[b].data(), 0, fieldCount, partial);
    if (pk != pr) {
      ++failures;
      ADD_FAILURE() << "partial " << a << " " << b << " " << fieldCount << "/" << partial << ": " << pk << " " << pr;
    }
  }
  for (PnxKeyBuffer& key : built) engine->FreeKey(key);
}

// One engine used by several threads at once gives every thread the answers
// it gives one thread (temporary slots from the pool, shared collators).
TEST_F(KeyEngineTest, OneEngineOnSeveralThreads) {
  const auto fw = AddField(u"W", nxtWideString, 200);  // slots above the stack buffer
  const auto fn = AddField(u"N", nxtNullString, 20);
  auto* k = NewKey();
  k->Add(fw)->AddLocaleDescriptor()->SetLocale(1041);
  k->Add(fn)->SetKeyFieldEngine(u"NumbersOnly");
  auto engine = Engine(k);
  std::mt19937 rng(5);
  std::vector<Record> records;
  for (int i = 0; i < 400; ++i) {
    Record r = NewRecord();
    SetWide(r, fw, std::u16string(1 + rng() % 3, static_cast<char16_t>(u'\u3041' + rng() % 5)));
    char text[16];
    std::snprintf(text, sizeof text, "a%ub", static_cast<unsigned>(rng() % 50));
    SetNull(r, fn, text);
    records.push_back(std::move(r));
  }
  std::vector<int> expected;
  for (std::size_t i = 0; i + 1 < records.size(); ++i)
    expected.push_back(engine->CompareRecord(records[i].data(), records[i + 1].data()));
  std::vector<std::future<int>> done;
  for (int t = 0; t < 4; ++t)
    done.push_back(std::async(std::launch::async, [&] {
      int mismatches = 0;
      for (int round = 0; round < 20; ++round)
        for (std::size_t i = 0; i + 1 < records.size(); ++i)
          if (engine->CompareRecord(records[i].data(), records[i + 1].data()) != expected[i]) ++mismatches;
      return mismatches;
    }));
  for (auto& f : done)
    if (f.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
      std::fprintf(stderr, "key engine threads hang\n");
      std::_Exit(3);
    }
  for (auto& f : done) EXPECT_EQ(f.get(), 0);
}

}  // namespace
