// Test support of the server's tables: a started engine on the fault file
// system with a folder on "/data", and dictionaries of real tables (nested
// tables, indices, BLOBs, encryption) built through the folder.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nxllException.h"
#include "nxsrServerEngineTestSupport.h"
#include "nxsrTimeoutHandling.h"

namespace nxtest {

// The thread's pending message (set with the last refusal).
inline nxString pendingMessage() {
  TnxResult code = 0;
  nxString message;
  EnxBaseException::GetLastConvertedException(code, message);
  return message;
}

// A dictionary with an Int32 "ID" and a ShortString "Name"; with aIndex a
// unique index on "ID"; with aBlob a BLOB field and the segmented BLOB
// engine; aNested adds nested tables of one Int32 field each.
inline TnxServerDataDict* tableDictionary(bool aIndex = false, bool aBlob = false,
                                          const std::vector<nxString>& aNested = {}) {
  TnxServerDataDict* dict = platform::create<TnxServerDataDict>();
  dict->FieldsDescriptor()->AddField(u"ID", u"", nxtInt32, 0, 0, false);
  dict->FieldsDescriptor()->AddField(u"Name", u"", nxtShortString, 20, 0, false);
  if (aBlob) {
    dict->FieldsDescriptor()->AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
    auto* blob = platform::objectAs<TnxHeapBlobDescriptor>(dict->AddBlobDescriptor());
    blob->AddHeapDescriptor()->AddBlockHeapDescriptor();
  }
  if (aIndex) {
    TnxMainIndicesDescriptor* list = dict->EnsureIndicesDescriptor();
    list->RemoveIndex(u"Sequential Access Index");
    TnxIndexDescriptor* index = list->AddIndex(u"ByID", 0, idNone, u"");
    platform::objectAs<TnxCompKeyDescriptor>(index->KeyDescriptor())->Add(0);
  }
  for (const nxString& name : aNested) {
    TnxNestedTableDescriptor* nested = dict->TablesDescriptor()->AddTable(name);
    nested->FieldsDescriptor()->AddField(u"Value", u"", nxtInt32, 0, 0, false);
    nested->AddRecordDescriptor();
  }
  return dict;
}

// An engine whose cleanup tick the tests drive themselves.
class TickingServerEngine : public TnxServerEngine {
 public:
  using TnxServerEngine::TnxServerEngine;
  void Tick() { seCleanupTimerTick(nullptr); }
};

// The table dictionary with a second file "blb" holding the BLOBs.
inline TnxServerDataDict* twoFileDictionary() {
  TnxServerDataDict* dict = tableDictionary(false, true);
  dict->FilesDescriptor()->AddFile(u"blb", nxbs4k, u"");
  dict->BlobDescriptor()->SetFileNumber(1);
  return dict;
}

// A started engine with a file folder on "/data".
class ServerTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxSetTimeout(0, true);
    engine_ = fx.Engine<TickingServerEngine>();
    engine_->SetMaxRAM(16);
    engine_->SetTempStoreSize(0);
    engine_->SetActive(true);
    folder_ = platform::create<TnxServerFolder>(engine_, u"/data", false);
  }
  void TearDown() override { platform::TObject::free(std::exchange(folder_, nullptr)); }

  // Builds aName in the folder from aDict (taken over).
  TnxResult Build(const nxString& aName, TnxServerDataDict* aDict, const nxString& aPassword = u"",
                  TnxTableScope aScope = tsPersistent, TnxServerFolder* aFolder = nullptr) {
    TnxOwned<TnxServerDataDict> dict(aDict);
    return (aFolder ? aFolder : folder_)->sfTableBuild(false, aName, aPassword, false, dict.get(), aScope);
  }

  // Opens a persistent table of the folder as a database would: the
  // table object, its files, and the usage counter left raised.
  TnxServerRootTable* Open(const nxString& aName, TnxResult& aResult, const TnxUnicodeStrings& aPasswords = {},
                           TnxShareMode aShare = smShared) {
    folder_->LockTables();
    auto* table = platform::create<TnxServerRootTable>(folder_, aName, omReadWrite, aShare, tsPersistent);
    bool readOnly = false;
    aResult = table->srtOpenFiles(nullptr, aPasswords, false, TnxFileAttributes{}, readOnly);
    if (aResult != 0) {
      platform::TObject::free(table);
      table = nullptr;
    } else {
      table->sbtLockIsInactive.fetch_add(1);
    }
    folder_->UnlockTables();
    return table;
  }
  // Drops the use of a table opened with Open.
  static void Drop(TnxServerRootTable* aTable) { aTable->sbtLockIsInactive.fetch_sub(1); }

  bool Exists(const std::string& aPath) {
    std::vector<std::uint8_t> data;
    return fx.Fs().contents(aPath, data);
  }

  ServerEngineFixture fx;
  TickingServerEngine* engine_ = nullptr;
  TnxServerFolder* folder_ = nullptr;
};

}  // namespace nxtest
