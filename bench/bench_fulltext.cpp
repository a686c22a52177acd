// Full-text indexing against SQLite's FTS5, in one run: 100,000 records of
// mixed English and Japanese text (about ten words each, separated by
// blanks and Japanese punctuation) stored as variable records (as FTS5
// stores its texts) and indexed through UpdateIndex into a bit-array token
// index (category separators, lower case, segment index), committed durably
// through the rollback journal; then the same texts inserted into an FTS5
// table in one transaction (journal_mode=DELETE, synchronous=FULL). Both
// sides get the same cache budget. Prints both times and ours over
// SQLite's, the device syncs of each, the number of records holding a few
// words as each side found them, and FTS5 with WAL and synchronous=NORMAL as
// information. Without FTS5 in the installed SQLite only our time is
// printed.
// Usage: bench_fulltext [records] [folder] (default 100000, $TMPDIR or /tmp).
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "nxllBaseLibrary.h"
#include "nxllWideString.h"
#include "nxsdDataDictionary.h"
#include "nxseIndexLibrary.h"
#include "nxseBlobEngineSimple.h"
#include "nxseBlockHeapEngineNonfragmenting.h"
#include "nxseFulltextEngineCursor.h"
#include "nxseFulltextEngineTable.h"
#include "nxseHeaderAccess.h"
#include "nxseHeapEngineCached.h"
#include "nxseIndexEngineStaticKeyBstarTree.h"
#include "nxseIndicesEngineSimple.h"
#include "nxseRecordCompressionEngineSmart.h"
#include "nxseRecordEngineStatic.h"
#include "nxseRecordEngineVariable.h"
#include "nxseStreamEngine.h"
#include "nxsrEngineBases.h"
#include "nxsrFileHandling.h"
#include "nxsrFileImplWin32.h"
#include "nxsrTimeoutHandling.h"
#include "plFileSystem.h"
#include "benchStorageSupport.h"

namespace {


const char* const kEnglish[] = {
    "database", "index", "record", "table", "query", "network", "security", "protocol", "server", "client",
    "transaction", "commit", "rollback", "journal", "block", "cache", "memory", "thread", "process", "kernel",
    "packet", "router", "switch", "firewall", "encryption", "hash", "signature", "certificate", "key", "value",
    "system", "design", "review", "test", "project", "manager", "schedule", "risk", "quality", "cost",
    "Model", "View", "Controller", "SQL", "Normal", "Form", "Join", "Union", "Select", "Update"};
const char* const kJapanese[] = {
    "データベース", "正規化", "トランザクション", "排他制御", "障害回復", "索引",     "主キー",   "外部キー",
    "関係モデル",   "表",     "列",               "行",       "更新",     "削除",     "挿入",     "検索",
    "ネットワーク", "暗号化", "認証",             "署名",     "証明書",   "ファイアウォール", "ルータ", "スイッチ",
    "プロジェクト", "品質",   "費用",             "工程",     "試験",     "設計",     "要件定義", "保守"};
constexpr int kEnglishCount = sizeof kEnglish / sizeof *kEnglish;
constexpr int kJapaneseCount = sizeof kJapanese / sizeof *kJapanese;
// English words carry one of these numbers, so the vocabulary has about
// 1,000 English and 32 Japanese words.
constexpr int kSuffixes = 20;

std::vector<std::string> makeTexts(std::uint32_t aCount) {
  std::mt19937 rng(7);
  std::vector<std::string> texts;
  texts.reserve(aCount);
  for (std::uint32_t i = 0; i < aCount; ++i) {
    std::string text;
    const int words = 8 + static_cast<int>(rng() % 5);
    for (int w = 0; w < words; ++w) {
      if (w > 0) text += (rng() % 3 == 0) ? "、" : " ";
      if (rng() % 2 == 0) {
        text += kEnglish[rng() % kEnglishCount];
        text += std::to_string(rng() % kSuffixes);
      } else {
        text += kJapanese[rng() % kJapaneseCount];
      }
    }
    text += "。";
    texts.push_back(std::move(text));
  }
  return texts;
}

const char* const kProbes[] = {"database3", "データベース", "暗号化", "model7"};

struct Result {
  double seconds = 0;
  std::uint64_t barriers = 0;
  std::vector<std::uint32_t> found;  // records per probe word
};

Result runOurs(const std::string& aPath, const std::vector<std::string>& aTexts, std::int32_t aCacheMB,
               CountingFileSystem& aCounter) {
  Result r;
  platform::currentFileSystem().remove(aPath);
  TnxOwned<TnxBufferManager> manager(newBenchManager(aCacheMB));
  TnxOwned<TnxServerDataDict> dict(platform::create<TnxServerDataDict>());
  TnxFieldsDescriptor* fields = dict->FieldsDescriptor();
  fields->AddField(u"Loc", u"", nxtWord32, 0, 0, false);
  fields->AddField(u"Text", u"", nxtWideString, 400, 0, false);
  // The texts are stored as variable records: a text takes its own length.
  auto* recordDescriptor = platform::objectAs<TnxHeapRecordDescriptor>(
      dict->AddRecordDescriptor(&TnxHeapRecordDescriptor::staticClassInfo()));
  recordDescriptor->SetRecordEngine(u"Variable");
  recordDescriptor->AddHeapDescriptor()->AddBlockHeapDescriptor();
  recordDescriptor->AddRecordCompressionDescriptor()->SetRecordCompressionEngine(u"Smart");
  TnxMainIndicesDescriptor* indices = dict->EnsureIndicesDescriptor();
  indices->RemoveIndex(u"Sequential Access Index");
  static_cast<TnxCompKeyDescriptor*>(indices->AddIndex(u"ByLoc", 0, idNone, u"")->KeyDescriptor())->Add(0);
  auto* ft = static_cast<TnxFulltextDescriptor*>(
      dict->CustomDescsDescriptor()->AddCustom(nxFulltextDescriptorName, &TnxFulltextDescriptor::staticClassInfo()));
  ft->AddBlobDescriptor(&TnxBaseBlobDescriptor::staticClassInfo())->SetBlobEngine(u"nx1xSimple");
  TnxFulltextIndexDescriptor* body = ft->AddFulltextIndex(u"Body");
  body->AddFieldTokenExtractor(1);
  body->AddTokenFilter(u"Split", &TnxCategorySeparatorTokenFilterDescriptor::staticClassInfo());
  body->AddTokenFilter(u"Lower", &TnxLowercaseLocaleMappingTokenFilterDescriptor::staticClassInfo());
  auto* words = static_cast<TnxBitArrayTokenIndexDescriptor*>(
      body->AddTokenIndex(u"Words", &TnxBitArrayTokenIndexDescriptor::staticClassInfo()));
  words->AddBitArrayStorageHandler();
  words->SetSegmentIndex(true);
  words->AddIndex(0);

  TnxOwned<TnxBaseFile> file(TnxBaseFile::Alloc(true, platform::fromUtf8(aPath), manager.get()));
  file->SetBlockSize(nxbs4k);
  file->SetVadurVersion(47005);
  file->SetStreamEngineName(u"nx1xDefault");
  file->OpenFile(omReadWrite, smExclusive, false, true);
  {
    const std::string folder = platform::folderOf(aPath);
    TnxOwned<TnxBlockAccess> main(platform::create<TnxBlockAccess>(file.get(), nullptr, u"bench", 0));
    TnxOwned<TnxBlockAccess> recordAccess(
        platform::create<TnxBlockAccess>(file.get(), main.get(), u"bench", dict->RecordDescriptor()->ID()));
    std::vector<std::uint8_t> record(static_cast<std::size_t>(fields->RecordLength()) + 8, 0);
    std::vector<std::uint8_t> text(static_cast<std::size_t>(fields->Fields(1)->fdLength), 0);
    TnxOwned<BenchTransaction> setup(newBenchTransaction(manager.get(), folder));
    file->AddHeader(setup.get(), {}, {'N', 'X', '!', '2'});
    TnxOwned<TnxBaseStreamEngine> stream(
        TnxBaseStreamEngine::CreateEngine(dict->StreamDescriptor(), main.get(), setup.get()));
    dict->WriteToFile(stream.get(), setup.get(), 47501);
    file->SetMaxID(dict->CurrentID());
    TnxOwned<TnxBaseRecordEngine> records(
        TnxBaseRecordEngine::CreateEngine(dict.get(), {recordAccess.get()}, setup.get()));
    TnxOwned<TnxFulltextTableEngine> table(static_cast<TnxFulltextTableEngine*>(
        TnxBaseFulltextTableEngine::CreateFor(ft, {main.get()}, nullptr, setup.get())));
    setup->Commit();
    TnxOwned<TnxBaseFulltextCursorEngine> cursor(TnxBaseFulltextCursorEngine::CreateFor(table.get(), nullptr));

    const std::uint64_t barriers = aCounter.barriers();
    const auto start = Clock::now();
    TnxOwned<BenchTransaction> trans(newBenchTransaction(manager.get(), folder));
    for (std::uint32_t i = 0; i < aTexts.size(); ++i) {
      fields->InitRecord(record.data());
      fields->SetRecordField(0, record.data(), &i);
      const TnxWideString wide = nxBytesToWideString(aTexts[i].data(), aTexts[i].size(), 65001);
      std::fill(text.begin(), text.end(), 0);
      std::memcpy(text.data(), wide.data(), std::min(wide.size() * 2, text.size() - 2));
      fields->SetRecordField(1, record.data(), text.data());
      TnxRefNr refNr = 0;
      records->AddRecord(trans.get(), refNr, record.data());
      if (cursor->UpdateIndex(trans.get(), nullptr, 0, record.data(), refNr) != 0) {
        std::fprintf(stderr, "UpdateIndex failed\n");
        std::exit(1);
      }
    }
    trans->Commit();
    r.seconds = seconds(start);
    r.barriers = aCounter.barriers() - barriers;

    // The count word of each probe's bit array.
    TnxBaseIndexEngine* index = table->ftteIndicesEngine->biseGetIndex(0);
    auto* keys = static_cast<TnxBitArrayTokenKeyEngine*>(index->bieKeyEngine.get());
    TnxOwned<TnxBaseIndexPath> path(index->CreateIndexPath());
    PnxKeyBuffer key = keys->AllocKey();
    TnxOwned<BenchTransaction> reader(platform::create<BenchTransaction>(manager.get()));
    for (const char* probe : kProbes) {
      const TnxWideString word = nxBytesToWideString(probe, std::strlen(probe), 65001);
      keys->ClearKey(key);
      keys->InternalBuildKey(0, word, -1, key);
      std::uint32_t count = 0;
      if (index->FindKey(reader.get(), key, 0, 0, 0, path.get(), skaEqualFirst, nullptr)) {
        TnxCountStream sink;
        table->ftteBlobEngine->Read(reader.get(), static_cast<TnxBlobNr>(path->RefNr), 0, 4, {}, sink);
        count = sink.csCount;
      }
      r.found.push_back(count);
    }
    reader->Commit();
    keys->FreeKey(key);
  }
  manager->RemoveFile(file.get());
  file->CloseFile();
  return r;
}

Result runSqlite(const std::string& aPath, const std::vector<std::string>& aTexts, std::int32_t aCacheMB,
                 SqliteMode aMode) {
  Result r;
  sqlite3* db = openBenchSqlite(aPath, aCacheMB, aMode);
  check(sqlite3_exec(db, "CREATE VIRTUAL TABLE ft USING fts5(body)", nullptr, nullptr, nullptr), db, "create");
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO ft(rowid, body) VALUES (?, ?)", -1, &insert, nullptr), db, "prepare");
  const std::uint64_t barriers = SqliteSyncCounter::barriers();
  const auto start = Clock::now();
  check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  for (std::size_t i = 0; i < aTexts.size(); ++i) {
    sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(i) + 1);
    sqlite3_bind_text(insert, 2, aTexts[i].data(), static_cast<int>(aTexts[i].size()), SQLITE_STATIC);
    check(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  r.seconds = seconds(start);
  r.barriers = SqliteSyncCounter::barriers() - barriers;
  sqlite3_finalize(insert);
  sqlite3_stmt* count = nullptr;
  check(sqlite3_prepare_v2(db, "SELECT count(*) FROM ft WHERE ft MATCH ?", -1, &count, nullptr), db, "prepare");
  for (const char* probe : kProbes) {
    const std::string phrase = std::string("\"") + probe + "\"";
    sqlite3_bind_text(count, 1, phrase.c_str(), -1, SQLITE_TRANSIENT);
    check(sqlite3_step(count), db, "count");
    r.found.push_back(static_cast<std::uint32_t>(sqlite3_column_int64(count, 0)));
    sqlite3_reset(count);
  }
  sqlite3_finalize(count);
  closeBenchSqlite(db, aPath);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint32_t records = argc > 1 ? static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 100000;
  const std::string folder = argc > 2 ? argv[2] : platform::toUtf8(nxTempFolder());
  nxsdDataDictionaryInitialize(std::span<const nxString>());
  nxseIndexLibraryInitialize();
  nxSetTimeout(0, true);
  CountingFileSystem counter(platform::currentFileSystem());
  platform::FileSystem* previous = platform::setCurrentFileSystem(&counter);
  const std::int32_t cacheMB = benchCacheMB();

  const std::vector<std::string> texts = makeTexts(records);
  const std::string ours = folder + "/bench_fulltext.nx1", theirs = folder + "/bench_fulltext.sqlite";
  const Result a = runOurs(ours, texts, cacheMB, counter);
  std::printf("%u stored records of mixed English and Japanese text, one bit-array token index with a segment index, "
              "cache %d MB each\n",
              records, cacheMB);
  const bool fts5 = sqlite3_compileoption_used("ENABLE_FTS5") != 0;
  if (!fts5) {
    std::printf("store+index+commit ours %8.3f s, %llu device syncs (the installed SQLite %s has no FTS5)\n", a.seconds,
                static_cast<unsigned long long>(a.barriers), sqlite3_libversion());
  } else {
    const Result b = runSqlite(theirs, texts, cacheMB, SqliteMode::durable);
    const Result w = runSqlite(theirs, texts, cacheMB, SqliteMode::walNormal);
    std::printf("store+index+commit ours %8.3f s  sqlite %s fts5 %s %8.3f s  ratio %.2f\n", a.seconds,
                sqlite3_libversion(), sqliteModeName(SqliteMode::durable), b.seconds, a.seconds / b.seconds);
    std::printf("  device syncs     ours %8llu    sqlite %8llu\n", static_cast<unsigned long long>(a.barriers),
                static_cast<unsigned long long>(b.barriers));
    for (std::size_t i = 0; i < a.found.size(); ++i)
      std::printf("records with %-14s ours %6u  sqlite %6u\n", kProbes[i], a.found[i], b.found[i]);
    if (a.found != b.found) std::fprintf(stderr, "the two indices disagree\n");
    std::printf("information: sqlite fts5 %s %8.3f s (%llu device syncs)\n", sqliteModeName(SqliteMode::walNormal),
                w.seconds, static_cast<unsigned long long>(w.barriers));
  }
  for (std::size_t i = 0; !fts5 && i < a.found.size(); ++i)
    std::printf("records with %-14s ours %6u\n", kProbes[i], a.found[i]);
  std::remove(ours.c_str());
  platform::setCurrentFileSystem(previous);

  nxseIndexLibraryFinalize();
  nxsdDataDictionaryFinalize();
  return 0;
}
