// Full-text kit: a table with a location field and text fields, a full-text
// descriptor set up by the test, the table's main indices engine and the
// full-text table engine over a table file of the table kit, a cursor-side
// tree, records built field by field, and readers of what the token
// indices hold (entries and the raw bytes of their bit arrays).
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "nxExpectCode.h"
#include "nxllWideString.h"
#include "nxseBlobEngineSimple.h"
#include "nxseFulltextEngineCursor.h"
#include "nxseFulltextEngineTable.h"
#include "nxseIndexTestSupport.h"

namespace nxtest {

// Fields of the kit's table.
enum FtField : std::int32_t { fLoc = 0, fText = 1, fTitle = 2, fMemo = 3, fWide = 4 };

// One entry of a bit-array token index: segment, token, field (-1 without
// per-field keys) and the bytes of its bit array.
struct TokenEntry {
  std::uint16_t segment;
  std::u16string token;
  std::int16_t field;
  std::vector<std::uint8_t> bits;
  bool operator==(const TokenEntry&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const TokenEntry& e) {
  os << "(" << e.segment << ", " << platform::toUtf8(e.token) << ", " << e.field << ":";
  for (std::uint8_t b : e.bits) os << " " << std::hex << static_cast<int>(b) << std::dec;
  return os << ")";
}

class FulltextTest : public IndexTest {
 protected:
  void SetUp() override {
    IndexTest::SetUp();
  }
  void TearDown() override {
    cursorEngine_.reset();
    tableEngine_.reset();
    indices_.reset();
    IndexTest::TearDown();
  }

  // Loc (Word32, location index "ByLoc" = main index 0), Text (WideString
  // 200), Title (NullString 200 with the Japanese locale: code page 932),
  // Memo (BlobMemo), Wide (BlobWideMemo).
  static TnxServerDataDict* fulltextDictionary() {
    TnxServerDataDict* dict = platform::create<TnxServerDataDict>();
    TnxFieldsDescriptor* fields = dict->FieldsDescriptor();
    fields->AddField(u"Loc", u"", nxtWord32, 0, 0, false);
    fields->AddField(u"Text", u"", nxtWideString, 200, 0, false);
    fields->AddField(u"Title", u"", nxtNullString, 200, 0, false)->AddLocaleDescriptor()->SetLocale(1041);
    fields->AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
    fields->AddField(u"Wide", u"", nxtBlobWideMemo, 0, 0, false);
    TnxMainIndicesDescriptor* list = dict->EnsureIndicesDescriptor();
    list->RemoveIndex(u"Sequential Access Index");
    TnxIndexDescriptor* byLoc = list->AddIndex(u"ByLoc", 0, idNone, u"");
    static_cast<TnxCompKeyDescriptor*>(byLoc->KeyDescriptor())->Add(nxString(u"Loc"));
    return dict;
  }
  static TnxFulltextDescriptor* fulltextOf(TnxDataDictionary* aDict) {
    if (TnxFulltextDescriptor* found = nxFindFulltextDescriptor(aDict)) return found;
    auto* ft = static_cast<TnxFulltextDescriptor*>(
        aDict->CustomDescsDescriptor()->AddCustom(nxFulltextDescriptorName, &TnxFulltextDescriptor::staticClassInfo()));
    ft->AddBlobDescriptor(&TnxBaseBlobDescriptor::staticClassInfo())->SetBlobEngine(u"nx1xSimple");
    return ft;
  }
  // A bit-array token index over the full-text index aIndex with its B*-tree
  // (and a reverse one) in file 0.
  static TnxBitArrayTokenIndexDescriptor* addBitArrayIndex(TnxFulltextIndexDescriptor* aIndex, bool aReverse = false,
                                                           const nxString& aName = u"Words") {
    auto* tokens = static_cast<TnxBitArrayTokenIndexDescriptor*>(
        aIndex->AddTokenIndex(aName, &TnxBitArrayTokenIndexDescriptor::staticClassInfo()));
    tokens->AddBitArrayStorageHandler();
    tokens->AddIndex(0);
    if (aReverse) tokens->AddReverseIndex(0);
    return tokens;
  }

  // Creates the table (the dictionary set up by aSetup), its main indices
  // engine and the full-text table engine, committed; then the cursor side
  // for aCursor.
  void build(const std::function<void(TnxServerDataDict&)>& aSetup, TnxAbstractCursor* aCursor = nullptr) {
    TnxServerDataDict* dict = fulltextDictionary();
    aSetup(*dict);
    table_ = &createTable(dict);
    if (beforeEngines_) beforeEngines_(*table_->dict);
    TnxOwned<TestTransaction> trans(newTransaction());
    try {
      indexAccess_.reset(platform::create<TnxBlockAccess>(table_->file, table_->main.get(), u"t",
                                                          table_->dict->IndicesDescriptor()->ID()));
      indices_.reset(TnxBaseIndicesEngine::CreateEngine(table_->dict->IndicesDescriptor(), {indexAccess_.get()},
                                                        table_->records.get(), trans.get(), false));
      tableEngine_.reset(platform::objectAs<TnxFulltextTableEngine>(TnxBaseFulltextTableEngine::CreateFor(
          nxFindFulltextDescriptor(table_->dict.get()), {table_->main.get()}, indices_.get(), trans.get())));
    } catch (...) {
      trans->Rollback();
      throw;
    }
    ASSERT_NE(tableEngine_.get(), nullptr);
    trans->Commit();
    cursorEngine_.reset(platform::objectAs<TnxFulltextCursorEngine>(
        TnxBaseFulltextCursorEngine::CreateFor(tableEngine_.get(), aCursor)));
    ASSERT_NE(cursorEngine_.get(), nullptr);
  }

  // A record: every field NULL, then the given values (text as UTF-8).
  struct Values {
    std::optional<std::uint32_t> loc = std::nullopt;
    std::optional<std::string> text = std::nullopt;
    std::optional<std::string> title = std::nullopt;  // raw bytes (CP932 for Japanese)
    std::optional<TnxBlobNr> memo = std::nullopt;
    std::optional<TnxBlobNr> wide = std::nullopt;
  };
  std::vector<std::uint8_t> record(const Values& v) {
    TnxFieldsDescriptor* fields = table_->dict->FieldsDescriptor();
    std::vector<std::uint8_t> r(static_cast<std::size_t>(fields->RecordLength()) + 8, 0);
    fields->InitRecord(r.data());
    if (v.loc) fields->SetRecordField(fLoc, r.data(), &*v.loc);
    if (v.text) {
      std::vector<std::uint8_t> s(static_cast<std::size_t>(fields->Fields(fText)->fdLength), 0);
      const std::u16string u = platform::fromUtf8(*v.text);
      std::memcpy(s.data(), u.data(), std::min(u.size() * 2, s.size() - 2));
      fields->SetRecordField(fText, r.data(), s.data());
    }
    if (v.title) {
      std::vector<std::uint8_t> s(static_cast<std::size_t>(fields->Fields(fTitle)->fdLength), 0);
      std::memcpy(s.data(), v.title->data(), std::min(v.title->size(), s.size() - 1));
      fields->SetRecordField(fTitle, r.data(), s.data());
    }
    if (v.memo) fields->SetRecordField(fMemo, r.data(), &*v.memo);
    if (v.wide) fields->SetRecordField(fWide, r.data(), &*v.wide);
    return r;
  }

  // UpdateIndex in a committed transaction of its own; the result code.
  TnxResult update(std::vector<std::uint8_t>* aOld, TnxRefNr aOldRef, std::vector<std::uint8_t>* aNew,
                   TnxRefNr aNewRef) {
    TnxOwned<TestTransaction> trans(newTransaction());
    TnxResult r = 0;
    try {
      r = cursorEngine_->UpdateIndex(trans.get(), aOld ? aOld->data() : nullptr, aOldRef,
                                     aNew ? aNew->data() : nullptr, aNewRef);
    } catch (...) {
      trans->Rollback();
      throw;
    }
    trans->Commit();
    return r;
  }
  TnxResult insert(std::vector<std::uint8_t>& aNew, TnxRefNr aRef) { return update(nullptr, 0, &aNew, aRef); }
  TnxResult remove(std::vector<std::uint8_t>& aOld, TnxRefNr aRef) { return update(&aOld, aRef, nullptr, 0); }

  TnxBitArrayTokenIndexTableEngine* bitArrayIndex(std::int32_t aFulltextIndex = 0, std::int32_t aTokenIndex = 0) {
    return platform::objectAs<TnxBitArrayTokenIndexTableEngine>(
        tableEngine_->FulltextIndex(aFulltextIndex)->fiteGetTokenIndex(aTokenIndex));
  }

  // The bytes of a bit array BLOB.
  std::vector<std::uint8_t> blob(TnxBaseTransaction* aTrans, TnxBlobNr aRef) {
    TnxOwned<TnxMemoryStream> stream(platform::create<TnxMemoryStream>());
    std::uint32_t length = 0;
    EXPECT_EQ(tableEngine_->ftteBlobEngine->GetBlobLength(aTrans, aRef, {}, length), 0u);
    EXPECT_EQ(tableEngine_->ftteBlobEngine->Read(aTrans, aRef, 0, length, {}, *stream), 0u);
    const auto* p = static_cast<const std::uint8_t*>(stream->Memory());
    return std::vector<std::uint8_t>(p, p + stream->Size());
  }

  // Every entry of a B*-tree of a bit-array token index, in key order.
  std::vector<TokenEntry> tokenEntries(TnxBaseIndexEngine* aEngine) {
    std::vector<TokenEntry> result;
    auto* keys = platform::objectAs<TnxBitArrayTokenKeyEngine>(aEngine->bieKeyEngine.get());
    const bool perField = keys->KeyLength() == 2 * keys->MaxTokenSize() + 6;
    TnxOwned<TestTransaction> trans(newTransaction());
    TnxOwned<TnxBaseIndexPath> path(aEngine->CreateIndexPath());
    path->SetToBof();
    nxtest::StepBound step;
    while (step() && aEngine->NextKey(trans.get(), path.get(), nullptr)) {
      const auto* k = static_cast<const std::uint8_t*>(path->Key);
      TokenEntry e;
      e.segment = nxseGetU16(k);
      const std::uint16_t count = nxseGetU16(k + 2);
      e.token.assign(count, u'\0');
      std::memcpy(e.token.data(), k + 4, count * 2u);
      e.field = perField ? static_cast<std::int16_t>(nxseGetU16(k + 4 + 2 * keys->MaxTokenSize())) : -1;
      e.bits = blob(trans.get(), static_cast<TnxBlobNr>(path->RefNr));
      result.push_back(std::move(e));
    }
    trans->Rollback();
    return result;
  }
  std::vector<TokenEntry> tokenEntries() { return tokenEntries(bitArrayIndex()->batiteIndexEngine); }

  static std::vector<std::uint8_t> bits(std::initializer_list<int> aBytes) {
    std::vector<std::uint8_t> v;
    for (int b : aBytes) v.push_back(static_cast<std::uint8_t>(b));
    return v;
  }

  TnxOwned<TnxFulltextTableEngine> tableEngine_;
  TnxOwned<TnxFulltextCursorEngine> cursorEngine_;
  // Runs after the table file holds the dictionary, before the engines.
  std::function<void(TnxServerDataDict&)> beforeEngines_;
};

}  // namespace nxtest
