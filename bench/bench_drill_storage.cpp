// The drill program's tables at the storage level, ours against SQLite:
// 4,000 questions (unique ID index; four texts of 100 to 2,000 characters
// as memo BLOBs; SQLite TEXT columns) and 100,000 answer records of 13
// fields with indices on the question id and the study date.
//  (a) bulk insert of the questions, then of the answers, each in one
//      journaled transaction;
//  (b) one-record durable commits (one answer each), ours, SQLite's and the
//      floor (4 KB pwrite + fdatasync) interleaved in blocks of 100 in this
//      process, with the device syncs per commit of both sides;
//  (c) 100,000 point lookups by question id: questions through the unique
//      index, and the first answer of a question through the duplicates index;
//  (d) a full scan of the answers;
//  (e) 200 study-date ranges of 7 days over the answers.
// (a), (c), (d) and (e) run in a child process per side and run, so the peak
// RSS of each side is its own (a process's peak never falls); the figures
// are the median of the runs. Both sides get the same cache budget and
// commit crash-atomically: ours through the rollback journal, SQLite with
// journal_mode=DELETE and synchronous=FULL. SQLite with WAL and
// synchronous=NORMAL is printed as information only.
// Usage: bench_drill_storage [--runs N] [--commits N] [--ours-only] [folder]
// (--ours-only: our side of (a), (c)-(e) alone in this process, for a profiler)
// (defaults 1 run, 500 commits, $TMPDIR or /tmp; the full measurement is
// --runs 3 --commits 10000). NX_BENCH_CACHE_MB sets the cache (default 10).
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "nxllBaseLibrary.h"
#include "nxsdDataDictionary.h"
#include "nxseBlobEngineSegmented.h"
#include "nxseBlockHeapEngineNonfragmenting.h"
#include "nxseHeaderAccess.h"
#include "nxseHeapEngineCached.h"
#include "nxseIndexEngineStaticKeyBstarTree.h"
#include "nxseIndicesEngineSimple.h"
#include "nxseRecordEngineStatic.h"
#include "nxseStreamEngine.h"
#include "nxseTemporaryStorageChunked.h"
#include "nxsrFileHandling.h"
#include "nxsrFileImplWin32.h"
#include "nxsrTimeoutHandling.h"
#include "plFileSystem.h"
#include "plString.h"
#include "benchStorageSupport.h"

namespace {

constexpr std::int32_t kQuestions = 4000;
constexpr std::int32_t kAnswers = 100000;
constexpr std::int32_t kLookups = 100000;
constexpr std::int32_t kRanges = 200;
constexpr std::int32_t kRangeDays = 7;
constexpr std::int32_t kDays = 400;
constexpr std::int32_t kBlock = 100;
// 2024-01-01 as a day number counted from 0001-01-01 = 1.
constexpr std::int32_t kFirstDay = 738886;

void fail(const char* aWhat) {
  std::fprintf(stderr, "%s\n", aWhat);
  std::exit(1);
}

// ---- The data, the same for both sides ----------------------------------------------

const char16_t* const kWords[] = {
    u"データベース", u"正規化", u"トランザクション", u"排他制御", u"障害回復", u"索引", u"主キー", u"外部キー",
    u"関係モデル", u"表", u"列", u"行", u"更新", u"削除", u"挿入", u"検索", u"ネットワーク", u"暗号化", u"認証",
    u"署名", u"証明書", u"ファイアウォール", u"ルータ", u"スイッチ", u"プロジェクト", u"品質", u"費用", u"工程",
    u"試験", u"設計", u"要件定義", u"保守", u"SQL", u"index", u"commit", u"rollback", u"journal", u"cache",
    u"の", u"は", u"を", u"に", u"が", u"で", u"、", u"。", u" ", u"(1)", u"ア", u"イ"};
constexpr int kWordCount = sizeof kWords / sizeof *kWords;
const char16_t* const kChoices[] = {u"ア", u"イ", u"ウ", u"エ"};

std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A question's short fields, in both encodings.
struct Text {
  std::u16string wide;
  std::string utf8;
  explicit Text(std::u16string aWide = {}) : wide(std::move(aWide)), utf8(platform::toUtf8(wide)) {}
};
struct QuestionInfo {
  std::int32_t id, number, categoryNumber;
  Text exam, category, categoryMain, keyword, correct;
};

std::vector<QuestionInfo> makeQuestions() {
  std::vector<QuestionInfo> q;
  q.reserve(kQuestions);
  for (std::int32_t i = 0; i < kQuestions; ++i) {
    const std::uint64_t h = mix(static_cast<std::uint64_t>(i));
    const std::int32_t exam = i % 34;
    const std::int32_t category = static_cast<std::int32_t>(h % 23);
    std::u16string examName = platform::fromUtf8(std::to_string(2009 + exam / 2)) + u"年ミルフェタ" +
                              platform::fromUtf8(std::to_string(1 + exam % 2));
    q.push_back({i + 1, i / 34 + 1, category + 1, Text(examName), Text(std::u16string(kWords[category]) + u"技術"),
                 Text(std::u16string(kWords[category * 9 / 23]) + u"系"),
                 Text(std::u16string(kWords[(h >> 8) % 32]) + u"と" + kWords[(h >> 16) % 32]),
                 Text(kChoices[(h >> 24) % 4])});
  }
  return q;
}

// Text k (0..3) of question aId: 100 to 2,000 characters, UTF-8 on both sides.
std::string questionText(std::int32_t aId, std::int32_t aK) {
  std::uint64_t h = mix(static_cast<std::uint64_t>(aId) * 4 + static_cast<std::uint64_t>(aK) + 1000003);
  const std::size_t length = 100 + h % 1901;
  std::u16string text;
  while (text.size() < length) {
    h = mix(h);
    text += kWords[h % kWordCount];
  }
  text.resize(length);
  return platform::toUtf8(text);
}

// Answer i (the answers come in date order, as they were given).
struct AnswerInfo {
  const QuestionInfo* question;
  const char16_t* ans;
  const char16_t* hantei;
  double dateTime;
  std::int32_t mis, studyDate, ansTime;
};
AnswerInfo answer(const std::vector<QuestionInfo>& aQuestions, std::int64_t i) {
  const std::uint64_t h = mix(static_cast<std::uint64_t>(i) + 77777);
  AnswerInfo a;
  a.question = &aQuestions[h % kQuestions];
  a.ans = kChoices[(h >> 16) % 4];
  a.mis = a.ans == a.question->correct.wide ? 0 : 1;
  a.hantei = a.mis ? u"×" : u"○";
  a.studyDate = kFirstDay + static_cast<std::int32_t>(i * kDays / kAnswers);
  a.dateTime = a.studyDate * 86400000.0 + static_cast<double>((h >> 24) % 86400000);
  a.ansTime = static_cast<std::int32_t>((h >> 40) % 600) * 1000;
  return a;
}

std::vector<std::int32_t> lookupIds() {
  std::mt19937 rng(11);
  std::vector<std::int32_t> ids(kLookups);
  for (auto& id : ids) id = 1 + static_cast<std::int32_t>(rng() % kQuestions);
  return ids;
}
std::vector<std::int32_t> rangeStarts() {
  std::mt19937 rng(12);
  std::vector<std::int32_t> from(kRanges);
  for (auto& d : from) d = kFirstDay + static_cast<std::int32_t>(rng() % (kDays - kRangeDays));
  return from;
}

// ---- Results -------------------------------------------------------------------------

struct SideResult {
  double insertQuestions = 0, insertAnswers = 0, lookupQuestions = 0, lookupAnswers = 0, scan = 0, ranges = 0;
  std::uint64_t syncsQuestions = 0, syncsAnswers = 0;
  // Reads that reached the file system (cache misses) in (c), (d), (e).
  std::uint64_t readsQuestions = 0, readsAnswers = 0, readsScan = 0, readsRanges = 0;
  std::uint64_t sumQuestions = 0, sumAnswers = 0, sumScan = 0, sumRanges = 0, rangeRows = 0;
  long peakKB = 0;
  int ok = 0;
};

// ---- Our side ------------------------------------------------------------------------

void fieldsOf(TnxFieldsDescriptor* f, std::initializer_list<std::pair<const char16_t*, std::pair<TnxFieldType, int>>> aList) {
  for (const auto& [name, type] : aList) f->AddField(name, u"", type.first, type.second, 0, false);
}

TnxServerDataDict* questionDictionary() {
  TnxServerDataDict* dict = platform::create<TnxServerDataDict>();
  fieldsOf(dict->FieldsDescriptor(), {{u"ID", {nxtInt32, 0}},
                                      {u"EXAM_NAME", {nxtWideString, 20}},
                                      {u"NUMBER", {nxtInt32, 0}},
                                      {u"CATEGORY", {nxtWideString, 30}},
                                      {u"category_main", {nxtWideString, 20}},
                                      {u"category_number", {nxtInt32, 0}},
                                      {u"KEYWORD", {nxtWideString, 40}},
                                      {u"QUEST_STATE", {nxtBlobMemo, 0}},
                                      {u"ANSWER", {nxtBlobMemo, 0}},
                                      {u"CORRECT", {nxtWideString, 1}},
                                      {u"EXPLAIN_STATE", {nxtBlobMemo, 0}},
                                      {u"POINT", {nxtBlobMemo, 0}},
                                      {u"HANTEI", {nxtWideString, 1}},
                                      {u"CKMARK", {nxtWideString, 1}},
                                      {u"study_date", {nxtDate, 0}}});
  auto* blob = platform::objectAs<TnxHeapBlobDescriptor>(dict->AddBlobDescriptor());
  blob->AddHeapDescriptor()->AddBlockHeapDescriptor();
  TnxMainIndicesDescriptor* indices = dict->EnsureIndicesDescriptor();
  indices->RemoveIndex(u"Sequential Access Index");
  static_cast<TnxCompKeyDescriptor*>(indices->AddIndex(u"ID", 0, idNone, u"")->KeyDescriptor())->Add(0);
  TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(indices);
  return dict;
}
constexpr std::int32_t kQuestionTexts[4] = {7, 8, 10, 11};

TnxServerDataDict* answerDictionary() {
  TnxServerDataDict* dict = platform::create<TnxServerDataDict>();
  fieldsOf(dict->FieldsDescriptor(), {{u"exam_name", {nxtWideString, 20}},
                                      {u"number", {nxtInt32, 0}},
                                      {u"category", {nxtWideString, 30}},
                                      {u"category_number", {nxtInt32, 0}},
                                      {u"category_main", {nxtWideString, 20}},
                                      {u"keyword", {nxtWideString, 40}},
                                      {u"ans", {nxtWideString, 1}},
                                      {u"hantei", {nxtWideString, 1}},
                                      {u"date_time", {nxtDateTime, 0}},
                                      {u"id", {nxtInt32, 0}},
                                      {u"mis", {nxtInt32, 0}},
                                      {u"study_date", {nxtDate, 0}},
                                      {u"ans_time", {nxtTime, 0}}});
  TnxMainIndicesDescriptor* indices = dict->EnsureIndicesDescriptor();
  indices->RemoveIndex(u"Sequential Access Index");
  static_cast<TnxCompKeyDescriptor*>(indices->AddIndex(u"id", 0, idAll, u"")->KeyDescriptor())->Add(9);
  static_cast<TnxCompKeyDescriptor*>(indices->AddIndex(u"study_date", 0, idAll, u"")->KeyDescriptor())->Add(11);
  TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(indices);
  return dict;
}

// One table file of ours with its engines, created and committed (through
// the journal when aJournalFolder is set).
struct OurTable {
  TnxBufferManager* manager;
  std::string path;
  TnxOwned<TnxServerDataDict> dict;
  TnxOwned<TnxBaseFile> file;
  TnxOwned<TnxBlockAccess> main, recordAccess, indexAccess, blobAccess;
  TnxOwned<TnxBaseStreamEngine> stream;
  TnxOwned<TnxBaseRecordEngine> records;
  TnxOwned<TnxBaseBlobEngine> blobs;
  TnxOwned<TnxBaseIndicesEngine> keys;
  std::vector<std::uint8_t> record;

  OurTable(TnxBufferManager* aManager, const std::string& aPath, TnxServerDataDict* aDict,
           const std::string& aJournalFolder)
      : manager(aManager), path(aPath), dict(aDict) {
    platform::currentFileSystem().remove(aPath);
    file.reset(TnxBaseFile::Alloc(true, platform::fromUtf8(aPath), manager));
    file->SetBlockSize(nxbs4k);
    file->SetVadurVersion(47005);
    file->SetStreamEngineName(u"nx1xDefault");
    file->OpenFile(omReadWrite, smExclusive, false, true);
    main.reset(platform::create<TnxBlockAccess>(file.get(), nullptr, u"bench", 0));
    TnxOwned<BenchTransaction> trans(newBenchTransaction(manager, aJournalFolder));
    file->AddHeader(trans.get(), {}, {'N', 'X', '!', '2'});
    stream.reset(TnxBaseStreamEngine::CreateEngine(dict->StreamDescriptor(), main.get(), trans.get()));
    dict->WriteToFile(stream.get(), trans.get(), 47501);
    file->SetMaxID(dict->CurrentID());
    recordAccess.reset(
        platform::create<TnxBlockAccess>(file.get(), main.get(), u"bench", dict->RecordDescriptor()->ID()));
    records.reset(TnxBaseRecordEngine::CreateEngine(dict.get(), {recordAccess.get()}, trans.get()));
    if (dict->BlobDescriptor()) {
      blobAccess.reset(
          platform::create<TnxBlockAccess>(file.get(), main.get(), u"bench", dict->BlobDescriptor()->ID()));
      blobs.reset(TnxBaseBlobEngine::CreateEngine(dict.get(), {blobAccess.get()}, trans.get()));
    }
    indexAccess.reset(
        platform::create<TnxBlockAccess>(file.get(), main.get(), u"bench", dict->IndicesDescriptor()->ID()));
    keys.reset(TnxBaseIndicesEngine::CreateEngine(dict->IndicesDescriptor(), {indexAccess.get()}, records.get(),
                                                  trans.get(), false));
    trans->Commit();
    record.assign(static_cast<std::size_t>(fields()->RecordLength()) + 8, 0);
  }
  OurTable(const OurTable&) = delete;
  OurTable& operator=(const OurTable&) = delete;
  ~OurTable() {
    keys.reset();
    blobs.reset();
    records.reset();
    stream.reset();
    indexAccess.reset();
    blobAccess.reset();
    recordAccess.reset();
    main.reset();
    manager->RemoveFile(file.get());
    file->CloseFile();
    file.reset();
    platform::currentFileSystem().remove(path);
  }
  TnxFieldsDescriptor* fields() const { return dict->FieldsDescriptor(); }

  void setWide(std::int32_t aField, const std::u16string& aText) {
    std::array<std::uint8_t, 256> value{};
    const std::size_t length = static_cast<std::size_t>(fields()->Fields(aField)->fdLength);
    std::memcpy(value.data(), aText.data(), std::min(aText.size() * 2, length - 2));
    fields()->SetRecordField(aField, record.data(), value.data());
  }
  template <class T>
  void set(std::int32_t aField, T aValue) {
    fields()->SetRecordField(aField, record.data(), &aValue);
  }
  template <class T>
  T get(std::int32_t aField, const void* aRecord) const {
    T value{};
    bool isNull = false;
    fields()->GetRecordField(aField, aRecord, isNull, &value);
    return value;
  }
};

void fillAnswer(OurTable& t, const AnswerInfo& a) {
  t.fields()->InitRecord(t.record.data());
  t.setWide(0, a.question->exam.wide);
  t.set<std::int32_t>(1, a.question->number);
  t.setWide(2, a.question->category.wide);
  t.set<std::int32_t>(3, a.question->categoryNumber);
  t.setWide(4, a.question->categoryMain.wide);
  t.setWide(5, a.question->keyword.wide);
  t.setWide(6, a.ans);
  t.setWide(7, a.hantei);
  t.set<double>(8, a.dateTime);
  t.set<std::int32_t>(9, a.question->id);
  t.set<std::int32_t>(10, a.mis);
  t.set<std::int32_t>(11, a.studyDate);
  t.set<std::int32_t>(12, a.ansTime);
}

void addAnswer(OurTable& t, TnxBaseTransaction* aTrans, const AnswerInfo& a) {
  fillAnswer(t, a);
  TnxRefNr refNr = 0;
  t.records->AddRecord(aTrans, refNr, t.record.data());
  if (t.keys->InsertKeys(aTrans, refNr, t.record.data(), nullptr) != 0) fail("answer key insert failed");
}

// A key of index aIndex for a probe record with one Int32 field set.
void probeKey(OurTable& t, TnxBaseIndexEngine* aIndex, std::int32_t aField, std::int32_t aValue, PnxKeyBuffer aKey) {
  t.fields()->InitRecord(t.record.data());
  t.set<std::int32_t>(aField, aValue);
  aIndex->bieKeyEngine->BuildKey(t.record.data(), aKey, 0, true);
}

void engineStart() {
  nxllBaseLibraryInitialize();
  nxsdDataDictionaryInitialize(std::span<const nxString>());
  nxsrBufferManagerInitialize();
  nxsrFileImplWin32Initialize();
  nxseHeaderAccessInitialize();
  nxsrSubEngineBaseInitialize();
  nxseStreamEngineInitialize();
  nxseRecordEngineStaticInitialize();
  nxseBlockHeapEngineNonfragmentingInitialize();
  nxseHeapEngineCachedInitialize();
  nxseBlobEngineSegmentedInitialize();
  nxsrIndexEngineBaseInitialize();
  nxseIndicesEngineSimpleInitialize();
  nxseIndexEngineStaticKeyBstarTreeInitialize();
  nxseJournalEngineInitialize();
  nxseTemporaryStorageChunkedInitialize();
  nxSetTimeout(0, true);
}

void engineStop() {
  nxseTemporaryStorageChunkedFinalize();
  nxseJournalEngineFinalize();
  nxseIndexEngineStaticKeyBstarTreeFinalize();
  nxseIndicesEngineSimpleFinalize();
  nxsrIndexEngineBaseFinalize();
  nxseBlobEngineSegmentedFinalize();
  nxseHeapEngineCachedFinalize();
  nxseBlockHeapEngineNonfragmentingFinalize();
  nxseRecordEngineStaticFinalize();
  nxseStreamEngineFinalize();
  nxsrSubEngineBaseFinalize();
  nxseHeaderAccessFinalize();
  nxsrBufferManagerFinalize();
  nxsdDataDictionaryFinalize();
  nxllBaseLibraryFinalize();
}

SideResult runOurs(const std::string& aFolder, std::int32_t aCacheMB) {
  SideResult r;
  engineStart();
  CountingFileSystem counter(platform::currentFileSystem());
  platform::FileSystem* previous = platform::setCurrentFileSystem(&counter);
  {
    const std::vector<QuestionInfo> questions = makeQuestions();
    TnxOwned<TnxBufferManager> manager(newBenchManager(aCacheMB));
    OurTable q(manager.get(), aFolder + "/drill_qbnk.nx1", questionDictionary(), aFolder);
    OurTable a(manager.get(), aFolder + "/drill_qzrecord.nx1", answerDictionary(), aFolder);

    // (a) questions with their four texts.
    std::uint64_t barriers = counter.barriers();
    auto start = Clock::now();
    {
      TnxOwned<BenchTransaction> trans(newBenchTransaction(manager.get(), aFolder));
      for (const QuestionInfo& info : questions) {
        q.fields()->InitRecord(q.record.data());
        q.set<std::int32_t>(0, info.id);
        q.setWide(1, info.exam.wide);
        q.set<std::int32_t>(2, info.number);
        q.setWide(3, info.category.wide);
        q.setWide(4, info.categoryMain.wide);
        q.set<std::int32_t>(5, info.categoryNumber);
        q.setWide(6, info.keyword.wide);
        q.setWide(9, info.correct.wide);
        for (std::int32_t k = 0; k < 4; ++k) {
          const std::string text = questionText(info.id, k);
          TnxBlobNr nr = 0;
          q.blobs->AddBlob(trans.get(), nr);
          q.blobs->Write(trans.get(), nr, 0, static_cast<std::uint32_t>(text.size()), text.data());
          q.set<TnxBlobNr>(kQuestionTexts[k], nr);
        }
        TnxRefNr refNr = 0;
        q.records->AddRecord(trans.get(), refNr, q.record.data());
        if (q.keys->InsertKeys(trans.get(), refNr, q.record.data(), nullptr) != 0) fail("question key insert failed");
      }
      trans->Commit();
    }
    r.insertQuestions = seconds(start);
    r.syncsQuestions = counter.barriers() - barriers;

    // (a) answers.
    barriers = counter.barriers();
    start = Clock::now();
    {
      TnxOwned<BenchTransaction> trans(newBenchTransaction(manager.get(), aFolder));
      for (std::int64_t i = 0; i < kAnswers; ++i) addAnswer(a, trans.get(), answer(questions, i));
      trans->Commit();
    }
    r.insertAnswers = seconds(start);
    r.syncsAnswers = counter.barriers() - barriers;

    TnxOwned<BenchTransaction> reader(newBenchTransaction(manager.get()));
    const std::vector<std::int32_t> ids = lookupIds();
    std::uint64_t readsAt = 0;
    std::vector<std::uint8_t> row(a.record.size() + q.record.size(), 0);

    // (c) questions by ID.
    {
      TnxBaseIndexEngine* index = q.keys->biseGetIndex(0);
      TnxOwned<TnxBaseIndexPath> path(index->CreateIndexPath());
      PnxKeyBuffer key = index->bieKeyEngine->AllocKey();
      readsAt = counter.reads();
      start = Clock::now();
      for (const std::int32_t id : ids) {
        probeKey(q, index, 0, id, key);
        if (!index->FindKey(reader.get(), key, 0, 0, 0, path.get(), skaEqualFirst, nullptr)) fail("question not found");
        q.records->ReadRecord(reader.get(), path->RefNr, row.data());
        r.sumQuestions += static_cast<std::uint64_t>(q.get<std::int32_t>(2, row.data()) * 100 +
                                                     q.get<std::int32_t>(5, row.data()));
      }
      r.lookupQuestions = seconds(start);
      r.readsQuestions = counter.reads() - readsAt;
      index->bieKeyEngine->FreeKey(key);
    }
    // (c) the first answer of a question.
    {
      TnxBaseIndexEngine* index = a.keys->biseGetIndex(0);
      TnxOwned<TnxBaseIndexPath> path(index->CreateIndexPath());
      PnxKeyBuffer key = index->bieKeyEngine->AllocKey();
      readsAt = counter.reads();
      start = Clock::now();
      for (const std::int32_t id : ids) {
        probeKey(a, index, 9, id, key);
        if (!index->FindKey(reader.get(), key, 1, 0, 0, path.get(), skaEqualFirst, nullptr)) continue;
        a.records->ReadRecord(reader.get(), path->RefNr, row.data());
        r.sumAnswers += static_cast<std::uint64_t>(a.get<std::int32_t>(11, row.data()) - kFirstDay) * 2 +
                        static_cast<std::uint64_t>(a.get<std::int32_t>(10, row.data()));
      }
      r.lookupAnswers = seconds(start);
      r.readsAnswers = counter.reads() - readsAt;
      index->bieKeyEngine->FreeKey(key);
    }
    // (d) full scan of the answers.
    {
      const std::int32_t idOffset = a.fields()->Fields(9)->fdOffset, misOffset = a.fields()->Fields(10)->fdOffset,
                         dateOffset = a.fields()->Fields(11)->fdOffset, timeOffset = a.fields()->Fields(12)->fdOffset;
      readsAt = counter.reads();
      start = Clock::now();
      TnxRefNr from = 0;
      a.records->Iterate(
          reader.get(), from, nullptr,
          [&](void*, TnxRefNr, PnxRecordBuffer aRecord) {
            std::int32_t id, mis, date, time;
            std::memcpy(&id, aRecord + idOffset, 4);
            std::memcpy(&mis, aRecord + misOffset, 4);
            std::memcpy(&date, aRecord + dateOffset, 4);
            std::memcpy(&time, aRecord + timeOffset, 4);
            r.sumScan += static_cast<std::uint64_t>(id) + static_cast<std::uint64_t>(mis) +
                         static_cast<std::uint64_t>(date - kFirstDay) + static_cast<std::uint64_t>(time / 1000);
            return rirContinue;
          },
          nullptr, nullptr, false, false);
      r.scan = seconds(start);
      r.readsScan = counter.reads() - readsAt;
    }
    // (e) date ranges.
    {
      TnxBaseIndexEngine* index = a.keys->biseGetIndex(1);
      TnxOwned<TnxBaseIndexPath> path(index->CreateIndexPath());
      PnxKeyBuffer lo = index->bieKeyEngine->AllocKey();
      PnxKeyBuffer hi = index->bieKeyEngine->AllocKey();
      const std::int32_t idOffset = a.fields()->Fields(9)->fdOffset, misOffset = a.fields()->Fields(10)->fdOffset;
      const std::vector<std::int32_t> starts = rangeStarts();
      readsAt = counter.reads();
      start = Clock::now();
      for (const std::int32_t day : starts) {
        probeKey(a, index, 11, day, lo);
        probeKey(a, index, 11, day + kRangeDays - 1, hi);
        const TnxRangeInfo first{lo, 1, 0, false, true}, last{hi, 1, 0, false, true};
        index->Iterate(reader.get(), path.get(), nullptr, {},
                       [&](void*, TnxRefNr, PnxRecordBuffer aRecord) {
                         std::int32_t id, mis;
                         std::memcpy(&id, aRecord + idOffset, 4);
                         std::memcpy(&mis, aRecord + misOffset, 4);
                         r.sumRanges += static_cast<std::uint64_t>(id) * 2 + static_cast<std::uint64_t>(mis);
                         ++r.rangeRows;
                         return rirContinue;
                       },
                       nullptr, first, last, nullptr, nullptr, false);
      }
      r.ranges = seconds(start);
      r.readsRanges = counter.reads() - readsAt;
      index->bieKeyEngine->FreeKey(lo);
      index->bieKeyEngine->FreeKey(hi);
    }
    reader->Commit();
  }
  platform::setCurrentFileSystem(previous);
  engineStop();
  r.ok = 1;
  return r;
}

// ---- SQLite's side -------------------------------------------------------------------

const char* const kSqliteSchema =
    "CREATE TABLE qbnk(id INTEGER NOT NULL, exam_name TEXT, number INTEGER, category TEXT, category_main TEXT,"
    " category_number INTEGER, keyword TEXT, quest_state TEXT, answer TEXT, correct TEXT, explain_state TEXT,"
    " point TEXT, hantei TEXT, ckmark TEXT, study_date INTEGER);"
    "CREATE UNIQUE INDEX qbnk_id ON qbnk(id);"
    "CREATE TABLE qzrecord(exam_name TEXT, number INTEGER, category TEXT, category_number INTEGER,"
    " category_main TEXT, keyword TEXT, ans TEXT, hantei TEXT, date_time REAL, id INTEGER, mis INTEGER,"
    " study_date INTEGER, ans_time INTEGER);"
    "CREATE INDEX qzrecord_id ON qzrecord(id);"
    "CREATE INDEX qzrecord_date ON qzrecord(study_date);";

sqlite3_stmt* prepare(sqlite3* aDb, const char* aSql) {
  sqlite3_stmt* s = nullptr;
  check(sqlite3_prepare_v2(aDb, aSql, -1, &s, nullptr), aDb, "prepare");
  return s;
}
void bindText(sqlite3_stmt* s, int aColumn, const std::string& aText) {
  sqlite3_bind_text(s, aColumn, aText.data(), static_cast<int>(aText.size()), SQLITE_TRANSIENT);
}

// The insert of one answer; aChoice and aJudgement are the UTF-8 texts.
struct SqliteAnswerInsert {
  sqlite3* db;
  sqlite3_stmt* insert;
  std::array<std::string, 4> choices;
  std::string correct, wrong;
  explicit SqliteAnswerInsert(sqlite3* aDb)
      : db(aDb),
        insert(prepare(aDb, "INSERT INTO qzrecord VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")),
        correct(platform::toUtf8(u"○")),
        wrong(platform::toUtf8(u"×")) {
    for (int i = 0; i < 4; ++i) choices[static_cast<std::size_t>(i)] = platform::toUtf8(kChoices[i]);
  }
  SqliteAnswerInsert(const SqliteAnswerInsert&) = delete;
  SqliteAnswerInsert& operator=(const SqliteAnswerInsert&) = delete;
  ~SqliteAnswerInsert() { sqlite3_finalize(insert); }
  void add(const AnswerInfo& a) {
    const QuestionInfo& q = *a.question;
    bindText(insert, 1, q.exam.utf8);
    sqlite3_bind_int(insert, 2, q.number);
    bindText(insert, 3, q.category.utf8);
    sqlite3_bind_int(insert, 4, q.categoryNumber);
    bindText(insert, 5, q.categoryMain.utf8);
    bindText(insert, 6, q.keyword.utf8);
    std::size_t choice = 0;
    while (kChoices[choice] != a.ans) ++choice;
    bindText(insert, 7, choices[choice]);
    bindText(insert, 8, a.mis ? wrong : correct);
    sqlite3_bind_double(insert, 9, a.dateTime);
    sqlite3_bind_int(insert, 10, q.id);
    sqlite3_bind_int(insert, 11, a.mis);
    sqlite3_bind_int(insert, 12, a.studyDate);
    sqlite3_bind_int(insert, 13, a.ansTime);
    check(sqlite3_step(insert), db, "insert answer");
    sqlite3_reset(insert);
  }
};

SideResult runSqlite(const std::string& aFolder, std::int32_t aCacheMB, SqliteMode aMode) {
  SideResult r;
  const std::vector<QuestionInfo> questions = makeQuestions();
  const std::string path = aFolder + "/drill.sqlite";
  sqlite3* db = openBenchSqlite(path, aCacheMB, aMode);
  check(sqlite3_exec(db, kSqliteSchema, nullptr, nullptr, nullptr), db, "schema");

  std::uint64_t barriers = SqliteSyncCounter::barriers();
  auto start = Clock::now();
  {
    sqlite3_stmt* insert =
        prepare(db, "INSERT INTO qbnk(id, exam_name, number, category, category_main, category_number, keyword,"
                    " quest_state, answer, correct, explain_state, point) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    for (const QuestionInfo& info : questions) {
      sqlite3_bind_int(insert, 1, info.id);
      bindText(insert, 2, info.exam.utf8);
      sqlite3_bind_int(insert, 3, info.number);
      bindText(insert, 4, info.category.utf8);
      bindText(insert, 5, info.categoryMain.utf8);
      sqlite3_bind_int(insert, 6, info.categoryNumber);
      bindText(insert, 7, info.keyword.utf8);
      bindText(insert, 10, info.correct.utf8);
      const int columns[4] = {8, 9, 11, 12};
      for (std::int32_t k = 0; k < 4; ++k) bindText(insert, columns[k], questionText(info.id, k));
      check(sqlite3_step(insert), db, "insert question");
      sqlite3_reset(insert);
    }
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    sqlite3_finalize(insert);
  }
  r.insertQuestions = seconds(start);
  r.syncsQuestions = SqliteSyncCounter::barriers() - barriers;

  barriers = SqliteSyncCounter::barriers();
  start = Clock::now();
  {
    SqliteAnswerInsert insert(db);
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    for (std::int64_t i = 0; i < kAnswers; ++i) insert.add(answer(questions, i));
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  }
  r.insertAnswers = seconds(start);
  r.syncsAnswers = SqliteSyncCounter::barriers() - barriers;

  // The reads run in one read transaction, as ours run in one transaction.
  check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  const std::vector<std::int32_t> ids = lookupIds();
  std::uint64_t readsAt = 0;
  {
    sqlite3_stmt* s = prepare(db, "SELECT number, category_number FROM qbnk WHERE id = ?");
    readsAt = SqliteSyncCounter::reads();
    start = Clock::now();
    for (const std::int32_t id : ids) {
      sqlite3_bind_int(s, 1, id);
      if (sqlite3_step(s) != SQLITE_ROW) fail("sqlite question not found");
      r.sumQuestions += static_cast<std::uint64_t>(sqlite3_column_int(s, 0) * 100 + sqlite3_column_int(s, 1));
      sqlite3_reset(s);
    }
    r.lookupQuestions = seconds(start);
    r.readsQuestions = SqliteSyncCounter::reads() - readsAt;
    sqlite3_finalize(s);
  }
  {
    sqlite3_stmt* s = prepare(db, "SELECT study_date, mis FROM qzrecord WHERE id = ? ORDER BY id LIMIT 1");
    readsAt = SqliteSyncCounter::reads();
    start = Clock::now();
    for (const std::int32_t id : ids) {
      sqlite3_bind_int(s, 1, id);
      if (sqlite3_step(s) == SQLITE_ROW)
        r.sumAnswers += static_cast<std::uint64_t>(sqlite3_column_int(s, 0) - kFirstDay) * 2 +
                        static_cast<std::uint64_t>(sqlite3_column_int(s, 1));
      sqlite3_reset(s);
    }
    r.lookupAnswers = seconds(start);
    r.readsAnswers = SqliteSyncCounter::reads() - readsAt;
    sqlite3_finalize(s);
  }
  {
    sqlite3_stmt* s = prepare(db, "SELECT * FROM qzrecord");
    readsAt = SqliteSyncCounter::reads();
    start = Clock::now();
    while (sqlite3_step(s) == SQLITE_ROW) {
      // Every column is read, as our scan hands out whole records.
      for (int c = 0; c < 8; ++c) (void)sqlite3_column_text(s, c);
      (void)sqlite3_column_double(s, 8);
      r.sumScan += static_cast<std::uint64_t>(sqlite3_column_int(s, 9)) +
                   static_cast<std::uint64_t>(sqlite3_column_int(s, 10)) +
                   static_cast<std::uint64_t>(sqlite3_column_int(s, 11) - kFirstDay) +
                   static_cast<std::uint64_t>(sqlite3_column_int(s, 12) / 1000);
    }
    r.scan = seconds(start);
    r.readsScan = SqliteSyncCounter::reads() - readsAt;
    sqlite3_finalize(s);
  }
  {
    sqlite3_stmt* s = prepare(db, "SELECT id, mis FROM qzrecord WHERE study_date BETWEEN ? AND ? ORDER BY study_date");
    const std::vector<std::int32_t> starts = rangeStarts();
    readsAt = SqliteSyncCounter::reads();
    start = Clock::now();
    for (const std::int32_t day : starts) {
      sqlite3_bind_int(s, 1, day);
      sqlite3_bind_int(s, 2, day + kRangeDays - 1);
      while (sqlite3_step(s) == SQLITE_ROW) {
        r.sumRanges += static_cast<std::uint64_t>(sqlite3_column_int(s, 0)) * 2 +
                       static_cast<std::uint64_t>(sqlite3_column_int(s, 1));
        ++r.rangeRows;
      }
      sqlite3_reset(s);
    }
    r.ranges = seconds(start);
    r.readsRanges = SqliteSyncCounter::reads() - readsAt;
    sqlite3_finalize(s);
  }
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  closeBenchSqlite(db, path);
  r.ok = 1;
  return r;
}

// ---- Child processes -----------------------------------------------------------------

enum class Side { ours, sqliteDurable, sqliteWal };

// Runs one side in a child process of its own; the child reports its
// figures and its peak RSS through a pipe.
SideResult runInChild(Side aSide, const std::string& aFolder, std::int32_t aCacheMB) {
  std::fflush(stdout);
  std::fflush(stderr);
  int fds[2];
  if (pipe(fds) != 0) fail("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) fail("fork failed");
  if (pid == 0) {
    close(fds[0]);
    SideResult r;
    try {
      r = aSide == Side::ours ? runOurs(aFolder, aCacheMB)
                              : runSqlite(aFolder, aCacheMB,
                                          aSide == Side::sqliteDurable ? SqliteMode::durable : SqliteMode::walNormal);
    } catch (const EnxBaseException& e) {
      std::fprintf(stderr, "engine failure: %s\n", platform::toUtf8(e.Message()).c_str());
      r.ok = 0;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    r.peakKB = usage.ru_maxrss;
    const ssize_t written = write(fds[1], &r, sizeof r);
    close(fds[1]);
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(written == static_cast<ssize_t>(sizeof r) && r.ok ? 0 : 1);
  }
  close(fds[1]);
  SideResult r;
  std::size_t got = 0;
  while (got < sizeof r) {
    const ssize_t n = read(fds[0], reinterpret_cast<char*>(&r) + got, sizeof r - got);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (got != sizeof r || !WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("a child run failed");
  return r;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// ---- (b) durable one-record commits, interleaved ---------------------------------------

struct CommitFigures {
  std::vector<double> ours, sqlite, wal, floor;  // seconds per block of kBlock
  std::uint64_t oursSyncs = 0, sqliteSyncs = 0, walSyncs = 0;
};

CommitFigures runCommits(const std::string& aFolder, std::int32_t aCacheMB, std::int32_t aCommits) {
  CommitFigures f;
  engineStart();
  CountingFileSystem counter(platform::currentFileSystem());
  platform::FileSystem* previous = platform::setCurrentFileSystem(&counter);
  {
    const std::vector<QuestionInfo> questions = makeQuestions();
    TnxOwned<TnxBufferManager> manager(newBenchManager(aCacheMB));
    // The tables are loaded before, without a journal: that is not measured.
    OurTable ours(manager.get(), aFolder + "/drill_commit.nx1", answerDictionary(), {});
    {
      TnxOwned<BenchTransaction> trans(newBenchTransaction(manager.get()));
      for (std::int64_t i = 0; i < kAnswers; ++i) addAnswer(ours, trans.get(), answer(questions, i));
      trans->Commit();
    }
    struct Peer {
      std::string path;
      sqlite3* db;
      std::unique_ptr<SqliteAnswerInsert> insert;
    };
    Peer peers[2];
    for (int p = 0; p < 2; ++p) {
      peers[p].path = aFolder + (p == 0 ? "/drill_commit.sqlite" : "/drill_commit_wal.sqlite");
      peers[p].db = openBenchSqlite(peers[p].path, aCacheMB, p == 0 ? SqliteMode::durable : SqliteMode::walNormal);
      check(sqlite3_exec(peers[p].db, kSqliteSchema, nullptr, nullptr, nullptr), peers[p].db, "schema");
      peers[p].insert = std::make_unique<SqliteAnswerInsert>(peers[p].db);
      check(sqlite3_exec(peers[p].db, "BEGIN", nullptr, nullptr, nullptr), peers[p].db, "begin");
      for (std::int64_t i = 0; i < kAnswers; ++i) peers[p].insert->add(answer(questions, i));
      check(sqlite3_exec(peers[p].db, "COMMIT", nullptr, nullptr, nullptr), peers[p].db, "commit");
    }
    platform::FileSystem& fs = platform::posixFileSystem();
    const std::string floorPath = aFolder + "/drill_commit.floor";
    platform::FileId floorFile{};
    platform::FileOpenOptions options;
    options.create = true;
    if (fs.open(floorPath, options, floorFile) != 0) fail("floor file not opened");
    std::vector<std::uint8_t> block(4096, 0x5A);
    std::size_t done = 0;
    for (std::int32_t i = 0; i < 16; ++i) fs.writeAt(floorFile, block.data(), block.size(), i * 4096, done);
    fs.sync(floorFile);

    std::int64_t next = kAnswers;
    for (std::int32_t b = 0; b < aCommits / kBlock; ++b) {
      const std::int64_t first = next;
      std::uint64_t barriers = counter.barriers();
      auto start = Clock::now();
      for (std::int32_t i = 0; i < kBlock; ++i) {
        TnxOwned<BenchTransaction> one(newBenchTransaction(manager.get(), aFolder));
        addAnswer(ours, one.get(), answer(questions, next++));
        one->Commit();
      }
      f.ours.push_back(seconds(start));
      f.oursSyncs += counter.barriers() - barriers;
      for (int p = 0; p < 2; ++p) {
        barriers = SqliteSyncCounter::barriers();
        start = Clock::now();
        for (std::int32_t i = 0; i < kBlock; ++i) peers[p].insert->add(answer(questions, first + i));
        (p == 0 ? f.sqlite : f.wal).push_back(seconds(start));
        (p == 0 ? f.sqliteSyncs : f.walSyncs) += SqliteSyncCounter::barriers() - barriers;
      }
      start = Clock::now();
      for (std::int32_t i = 0; i < kBlock; ++i) {
        block[0] = static_cast<std::uint8_t>(i);
        if (fs.writeAt(floorFile, block.data(), block.size(), (i % 16) * 4096, done) != 0 || fs.sync(floorFile) != 0)
          fail("floor write failed");
      }
      f.floor.push_back(seconds(start));
    }
    fs.close(floorFile);
    fs.remove(floorPath);
    for (Peer& p : peers) {
      p.insert.reset();
      closeBenchSqlite(p.db, p.path);
    }
  }
  platform::setCurrentFileSystem(previous);
  engineStop();
  return f;
}

// ---- Report ----------------------------------------------------------------------------

void row(const char* aWhat, double aOurs, double aSqlite, const char* aUnit, double aScale, const char* aTarget) {
  std::printf("%-44s ours %9.3f %s  sqlite %9.3f %s  ours/sqlite %5.2f  target %s\n", aWhat, aOurs * aScale, aUnit,
              aSqlite * aScale, aUnit, aOurs / aSqlite, aTarget);
}

}  // namespace

int main(int argc, char** argv) {
  std::int32_t runs = 1, commits = 500;
  std::string folder;
  bool oursOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--ours-only")
      oursOnly = true;
    else if (arg == "--runs" && i + 1 < argc)
      runs = std::max(1, static_cast<int>(std::strtol(argv[++i], nullptr, 10)));
    else if (arg == "--commits" && i + 1 < argc)
      commits = std::max(kBlock, static_cast<int>(std::strtol(argv[++i], nullptr, 10)));
    else
      folder = arg;
  }
  commits -= commits % kBlock;
  if (folder.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    folder = tmp && *tmp ? tmp : "/tmp";
  }
  const std::int32_t cacheMB = benchCacheMB();
  if (oursOnly) {
    // Our side alone in this process, for a profiler.
    const SideResult r = runOurs(folder, cacheMB);
    std::printf("ours: (a) %.3f + %.3f s; (c) %.3f + %.3f s, %llu + %llu reads; (d) %.3f s, %llu reads; "
                "(e) %.3f s, %llu reads\n",
                r.insertQuestions, r.insertAnswers, r.lookupQuestions, r.lookupAnswers,
                static_cast<unsigned long long>(r.readsQuestions), static_cast<unsigned long long>(r.readsAnswers),
                r.scan, static_cast<unsigned long long>(r.readsScan), r.ranges,
                static_cast<unsigned long long>(r.readsRanges));
    return 0;
  }

  // The children first: this process starts the engine only for (b).
  std::vector<SideResult> ours, sqlite;
  SideResult wal;
  for (std::int32_t run = 0; run < runs; ++run) {
    ours.push_back(runInChild(Side::ours, folder, cacheMB));
    sqlite.push_back(runInChild(Side::sqliteDurable, folder, cacheMB));
    if (run == 0) wal = runInChild(Side::sqliteWal, folder, cacheMB);
  }
  const CommitFigures c = runCommits(folder, cacheMB, commits);

  auto med = [](const std::vector<SideResult>& aRuns, double SideResult::*aField) {
    std::vector<double> v;
    for (const SideResult& r : aRuns) v.push_back(r.*aField);
    return median(v);
  };
  auto medPeak = [](const std::vector<SideResult>& aRuns) {
    std::vector<double> v;
    for (const SideResult& r : aRuns) v.push_back(static_cast<double>(r.peakKB));
    return median(v);
  };
  const SideResult& o = ours.front();
  const SideResult& s = sqlite.front();
  if (o.sumQuestions != s.sumQuestions || o.sumAnswers != s.sumAnswers || o.sumScan != s.sumScan ||
      o.sumRanges != s.sumRanges || o.rangeRows != s.rangeRows)
    std::fprintf(stderr, "the two sides read different data: (c) %llu %llu, (c) %llu %llu, (d) %llu %llu, (e) %llu %llu\n",
                 static_cast<unsigned long long>(o.sumQuestions), static_cast<unsigned long long>(s.sumQuestions),
                 static_cast<unsigned long long>(o.sumAnswers), static_cast<unsigned long long>(s.sumAnswers),
                 static_cast<unsigned long long>(o.sumScan), static_cast<unsigned long long>(s.sumScan),
                 static_cast<unsigned long long>(o.sumRanges), static_cast<unsigned long long>(s.sumRanges));

  std::printf("drill tables: %d questions (four memo texts of 100-2,000 characters), %d answers of 13 fields;\n"
              "cache %d MB each; sqlite %s; (a),(c)-(e) median of %d run(s), each side in a child process; "
              "folder %s\n",
              kQuestions, kAnswers, cacheMB, sqliteModeName(SqliteMode::durable), runs, folder.c_str());
  row("(a) insert 4,000 questions, one commit", med(ours, &SideResult::insertQuestions),
      med(sqlite, &SideResult::insertQuestions), "s ", 1, "<= 1.0");
  std::printf("      device syncs of it                     ours %9llu     sqlite %9llu\n",
              static_cast<unsigned long long>(o.syncsQuestions), static_cast<unsigned long long>(s.syncsQuestions));
  row("(a) insert 100,000 answers, one commit", med(ours, &SideResult::insertAnswers),
      med(sqlite, &SideResult::insertAnswers), "s ", 1, "<= 1.0");
  std::printf("      device syncs of it                     ours %9llu     sqlite %9llu\n",
              static_cast<unsigned long long>(o.syncsAnswers), static_cast<unsigned long long>(s.syncsAnswers));
  double oursTotal = 0, sqliteTotal = 0, walTotal = 0, floorTotal = 0;
  for (std::size_t i = 0; i < c.ours.size(); ++i) {
    oursTotal += c.ours[i];
    sqliteTotal += c.sqlite[i];
    walTotal += c.wal[i];
    floorTotal += c.floor[i];
  }
  std::printf("(b) %d one-record durable commits, blocks of %d interleaved with sqlite's and the floor's:\n", commits,
              kBlock);
  row("(b) per commit (median block)", median(c.ours) / kBlock, median(c.sqlite) / kBlock, "ms", 1000, "<= 1.0");
  std::printf("      mean per commit                        ours %9.3f ms  sqlite %9.3f ms  floor %.3f ms "
              "(4 KB pwrite + fdatasync)\n",
              oursTotal * 1000 / commits, sqliteTotal * 1000 / commits, floorTotal * 1000 / commits);
  std::printf("      device syncs per commit                ours %9.2f     sqlite %9.2f     target ours <= 4\n",
              static_cast<double>(c.oursSyncs) / commits, static_cast<double>(c.sqliteSyncs) / commits);
  std::printf("      over the floor (median blocks)         ours %9.2f     sqlite %9.2f\n",
              median(c.ours) / median(c.floor), median(c.sqlite) / median(c.floor));
  row("(c) 100,000 lookups, questions by ID", med(ours, &SideResult::lookupQuestions),
      med(sqlite, &SideResult::lookupQuestions), "s ", 1, "<= 0.8");
  row("(c) 100,000 lookups, first answer by id", med(ours, &SideResult::lookupAnswers),
      med(sqlite, &SideResult::lookupAnswers), "s ", 1, "<= 0.8");
  row("(d) full scan of the answers", med(ours, &SideResult::scan), med(sqlite, &SideResult::scan), "s ", 1,
      "<= 1.0");
  char what[96];
  std::snprintf(what, sizeof what, "(e) %d study-date ranges of %d days", kRanges, kRangeDays);
  row(what, med(ours, &SideResult::ranges), med(sqlite, &SideResult::ranges), "s ", 1, "<= 1.0");
  std::printf("      rows read                              ours %9llu     sqlite %9llu\n",
              static_cast<unsigned long long>(o.rangeRows), static_cast<unsigned long long>(s.rangeRows));
  std::printf("      reads from the file system (misses)    (c) ours %llu + %llu, sqlite %llu + %llu; (d) ours %llu, "
              "sqlite %llu; (e) ours %llu, sqlite %llu\n",
              static_cast<unsigned long long>(o.readsQuestions), static_cast<unsigned long long>(o.readsAnswers),
              static_cast<unsigned long long>(s.readsQuestions), static_cast<unsigned long long>(s.readsAnswers),
              static_cast<unsigned long long>(o.readsScan), static_cast<unsigned long long>(s.readsScan),
              static_cast<unsigned long long>(o.readsRanges), static_cast<unsigned long long>(s.readsRanges));
  row("peak RSS of the side's process", medPeak(ours) / 1024, medPeak(sqlite) / 1024, "MB", 1, "<= 1.3");
  std::printf("information: sqlite %s: (a) questions %.3f s (%llu syncs), answers %.3f s (%llu syncs); "
              "(b) %.3f ms per commit, %.2f syncs per commit; peak RSS %.1f MB\n",
              sqliteModeName(SqliteMode::walNormal), wal.insertQuestions,
              static_cast<unsigned long long>(wal.syncsQuestions), wal.insertAnswers,
              static_cast<unsigned long long>(wal.syncsAnswers), walTotal * 1000 / commits,
              static_cast<double>(c.walSyncs) / commits, static_cast<double>(wal.peakKB) / 1024);
  return 0;
}
