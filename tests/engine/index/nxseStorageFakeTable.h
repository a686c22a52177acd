// Tables of the fake server engine kept in real table files: static records
// and static-key B*-tree indices of the storage engines, one committed
// transaction per change. BLOBs, streams and the auto-increment counter
// stay in the fake's memory until the segmented BLOB engine is in.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "nxFakeServerObjects.h"
#include "nxseIndexTestSupport.h"

namespace nxtest {

class StorageFakeTable : public TnxFakeTableStorage {
 public:
  using TransactionMaker = std::function<TestTransaction*()>;

  StorageFakeTable(Table& aTable, TransactionMaker aNewTransaction)
      : table_(aTable), newTransaction_(std::move(aNewTransaction)) {
    if (!table_.dict->IndicesDescriptor()) return;
    TnxOwned<TestTransaction> trans(newTransaction_());
    indexAccess_.reset(platform::create<TnxBlockAccess>(table_.file, table_.main.get(), u"t",
                                                        table_.dict->IndicesDescriptor()->ID()));
    indices_.reset(TnxBaseIndicesEngine::CreateEngine(table_.dict->IndicesDescriptor(), {indexAccess_.get()},
                                                      table_.records.get(), trans.get(), false));
    trans->Commit();
  }
  ~StorageFakeTable() override {
    indices_.reset();
    indexAccess_.reset();
  }

  TnxRefNr Insert(PnxRecordBuffer aData) override {
    TnxRefNr refNr = 0;
    inTransaction([&](TnxBaseTransaction* aTrans) {
      table_.records->AddRecord(aTrans, refNr, aData);
      if (indices_) check(indices_->InsertKeys(aTrans, refNr, aData, nullptr));
    });
    return refNr;
  }
  void Update(TnxRefNr aRefNr, PnxRecordBuffer aNew, PnxRecordBuffer aOld) override {
    inTransaction([&](TnxBaseTransaction* aTrans) {
      if (indices_) check(indices_->UpdateKeys(aTrans, aRefNr, aOld, aRefNr, aNew, nullptr));
      table_.records->UpdateRecord(aTrans, aRefNr, aNew, aOld);
    });
  }
  void Delete(TnxRefNr aRefNr, PnxRecordBuffer aData) override {
    inTransaction([&](TnxBaseTransaction* aTrans) {
      if (indices_) check(indices_->DeleteKeys(aTrans, aRefNr, aData, nullptr));
      table_.records->DeleteRecord(aTrans, aRefNr);
    });
  }
  bool Scan(const nxString& aIndex,
            const std::function<void(TnxRefNr aRefNr, const std::uint8_t* aData)>& aVisit) override {
    std::vector<std::uint8_t> record(table_.records->breRecordLength + 8u);
    const std::int32_t number = indices_ && !aIndex.empty() ? table_.dict->GetIndexFromName(aIndex) : -1;
    inTransaction([&](TnxBaseTransaction* aTrans) {
      if (number < 0) {
        for (TnxRefNr at = 0;;) {
          TnxRefNr next = 0;
          table_.records->ReadNextRecord(aTrans, at, next, record.data());
          if (next == 0) break;
          aVisit(next, record.data());
          at = next;
        }
        return;
      }
      TnxBaseIndexEngine* index = indices_->biseGetIndex(number);
      TnxOwned<TnxBaseIndexPath> path(index->CreateIndexPath());
      nxtest::StepBound step;
      while (step() && index->NextKey(aTrans, path.get(), nullptr)) {
        table_.records->ReadRecord(aTrans, path->RefNr, record.data());
        aVisit(path->RefNr, record.data());
      }
    });
    return number >= 0;
  }

 private:
  static void check(TnxResult aResult) {
    if (aResult != 0) throw EnxBaseException(aResult);
  }
  template <class F>
  void inTransaction(F&& aBody) {
    TnxOwned<TestTransaction> trans(newTransaction_());
    try {
      aBody(trans.get());
    } catch (...) {
      trans->Rollback();
      throw;
    }
    trans->Commit();
  }

  Table& table_;
  TransactionMaker newTransaction_;
  TnxOwned<TnxBlockAccess> indexAccess_;
  TnxOwned<TnxBaseIndicesEngine> indices_;
};

// The index kit's fixture, able to give tables of the fake engine a table
// file: the file gets the fields and indices of the fake table's dictionary
// (composite keys only: the sequential index and other RefNr keys have no
// key engine yet; the fake orders such an index itself).
class StorageFakeTest : public IndexTest {
 protected:
  void AttachStorage(TnxFakeTable& aTable) {
    TnxServerDataDict* dict = platform::create<TnxServerDataDict>();
    TnxFieldsDescriptor* fields = aTable.dictionary->FieldsDescriptor();
    for (std::int32_t i = 0; i < fields->FieldCount(); ++i) {
      TnxFieldDescriptor* f = fields->Fields(i);
      dict->FieldsDescriptor()->AddField(f->Name(), u"", f->fdType, f->fdUnits, f->fdDecPl, false);
    }
    TnxMainIndicesDescriptor* list = dict->EnsureIndicesDescriptor();
    list->RemoveIndex(u"Sequential Access Index");
    if (TnxMainIndicesDescriptor* from = aTable.dictionary->IndicesDescriptor())
      for (std::int32_t i = 0; i < from->IndexCount(); ++i) {
        TnxIndexDescriptor* source = from->Indices(i);
        auto* sourceKey = platform::objectAs<TnxCompKeyDescriptor>(source->KeyDescriptor());
        if (!sourceKey || source->Name() == u"Sequential Access Index") continue;
        TnxIndexDescriptor* index = list->AddIndex(source->Name(), 0, source->Dups(), u"");
        auto* key = platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor());
        for (std::int32_t k = 0; k < sourceKey->KeyFieldCount(); ++k) key->Add(sourceKey->KeyFields(k)->FieldNumber());
      }
    if (list->IndexCount() == 0) dict->RemoveIndicesDescriptor();
    else TnxBaseIndicesEngine::CheckValidBaseFromDescriptor(dict->IndicesDescriptor());
    const std::string path = "/db/fake" + std::to_string(++tableFiles_) + ".nx1";
    Table& table = createTable(dict, path);
    aTable.storage = std::make_unique<StorageFakeTable>(table, [this] { return newTransaction(); });
    files_[&aTable] = {path, table.records->breRecordLength};
  }

  // The independent checker's report on the table file of aTable ("" when
  // it passes).
  std::string CheckStorage(const TnxFakeTable& aTable) {
    const auto found = files_.find(&aTable);
    if (found == files_.end()) return "no table file";
    return checkFile(found->second.first, found->second.second);
  }

  int tableFiles_ = 0;
  std::map<const TnxFakeTable*, std::pair<std::string, std::uint32_t>> files_;
};

}  // namespace nxtest
