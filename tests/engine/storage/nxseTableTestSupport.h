// Table kit: "NX!2" table files on the in-memory file system, made and
// opened as the server engine does it (file, block 0, a main block access,
// one block access per engine with the engine's ID, the stream engine, the
// dictionary in "DICT", the record engine), and an independent reader of
// the raw file for assertions on bytes.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "nxTableChecker.h"
#include "nxsdFilterEngineCallback.h"
#include "nxseBlobEngineSegmented.h"
#include "nxseBlockHeapEngineNonfragmenting.h"
#include "nxseHeaderAccess.h"
#include "nxseHeapEngineCached.h"
#include "nxseRecordCompressionEngineCompressor.h"
#include "nxseRecordCompressionEngineSmart.h"
#include "nxseRecordEngineStatic.h"
#include "nxseRecordEngineVariable.h"
#include "nxseStreamEngine.h"
#include "nxsrFileHandling.h"
#include "nxsrStorageLibrary.h"
#include "nxsrSubEngineBase.h"
#include "nxsrTestSupport.h"

namespace nxtest {

// Expects aBody to raise an engine exception with aCode.
template <class F>
void expectFails(TnxResult aCode, F&& aBody, const char* aWhat = "") {
  try {
    aBody();
    ADD_FAILURE() << aWhat << ": no exception, expected " << aCode;
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), aCode) << aWhat << ": " << platform::toUtf8(e.Message());
  }
}
// The same, and the message contains aText.
template <class F>
void expectFailsWith(TnxResult aCode, const std::string& aText, F&& aBody) {
  try {
    aBody();
    ADD_FAILURE() << "no exception, expected " << aCode;
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), aCode) << platform::toUtf8(e.Message());
    EXPECT_NE(platform::toUtf8(e.Message()).find(aText), std::string::npos) << platform::toUtf8(e.Message());
  }
}

inline constexpr TnxBlockSignature kNX1{'N', 'X', '!', '1'};
inline constexpr TnxBlockSignature kNX2{'N', 'X', '!', '2'};

// A dictionary with one byte-array field of aBytes: record length aBytes + 4
// (the null bitmap).
inline TnxServerDataDict* newDictionary(std::int32_t aBytes = 96) {
  TnxServerDataDict* dict = platform::create<TnxServerDataDict>();
  dict->FieldsDescriptor()->AddField(u"Data", u"", nxtByteArray, aBytes, 0, false);
  return dict;
}

// The same with the segmented BLOB engine ("Blob" section, heap and block
// heap descriptors).
inline TnxServerDataDict* newBlobDictionary(std::int32_t aBytes = 96) {
  TnxServerDataDict* dict = newDictionary(aBytes);
  auto* blob = platform::objectAs<TnxHeapBlobDescriptor>(dict->AddBlobDescriptor());
  blob->AddHeapDescriptor()->AddBlockHeapDescriptor();
  return dict;
}

// A dictionary of variable records ("Variable" with a heap) whose fields
// are (type, units) pairs; aCompression names the compression engine, nil
// for none (records stored raw).
inline TnxServerDataDict* newVariableDictionary(std::initializer_list<std::pair<TnxFieldType, std::int32_t>> aFields,
                                                const char16_t* aCompression = u"Smart") {
  TnxServerDataDict* dict = platform::create<TnxServerDataDict>();
  std::int32_t i = 0;
  for (const auto& [type, units] : aFields)
    dict->FieldsDescriptor()->AddField(u"F" + platform::fromUtf8(std::to_string(i++)), u"", type, units, 0, false);
  auto* record = platform::objectAs<TnxHeapRecordDescriptor>(
      dict->AddRecordDescriptor(&TnxHeapRecordDescriptor::staticClassInfo()));
  record->SetRecordEngine(u"Variable");
  record->AddHeapDescriptor()->AddBlockHeapDescriptor();
  if (aCompression) record->AddRecordCompressionDescriptor()->SetRecordCompressionEngine(aCompression);
  return dict;
}

// One open table: the file, its block accesses and engines.
struct Table {
  TnxBaseFile* file = nullptr;  // owned by the fixture
  TnxOwned<TnxBlockAccess> main;
  TnxOwned<TnxBlockAccess> streamAccess;
  TnxOwned<TnxBlockAccess> recordAccess;
  TnxOwned<TnxBlockAccess> blobAccess;
  TnxOwned<TnxBaseStreamEngine> stream;
  TnxOwned<TnxBaseRecordEngine> records;
  TnxOwned<TnxBaseBlobEngine> blobs;
  TnxOwned<TnxServerDataDict> dict;
  // The root-table layout: the engines' sections in block 0, their blocks
  // carrying the engines' IDs; otherwise each engine has a sub-header.
  bool root = false;

  TnxStaticRecordEngine* statics() { return platform::objectAs<TnxStaticRecordEngine>(records.get()); }
  TnxVariableRecordEngine* variables() { return platform::objectAs<TnxVariableRecordEngine>(records.get()); }
  void close() {
    blobs.reset();
    blobAccess.reset();
    records.reset();
    stream.reset();
    recordAccess.reset();
    streamAccess.reset();
    main.reset();
    dict.reset();
  }
};

class TableTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    nxsrStorageLibraryInitialize();
    nxSetTimeout(0, true);  // long walks check the thread's deadline: none
  }
  void TearDown() override {
    for (auto& t : tables_) t->close();
    EXPECT_EQ(checkWrittenFiles(), "") << "table files left by the test";
    nxsrStorageLibraryFinalize();
    nxsdDataDictionaryFinalize();
    StorageTest::TearDown();
  }

  // A new file with block 0 only (inside aTrans).
  TnxBaseFile* newFile(TnxBaseTransaction* aTrans, const std::string& aPath = "/db/t.nx1",
                       TnxBlockSize aSize = nxbs4k) {
    TnxBaseFile* file = TnxBaseFile::Alloc(true, platform::fromUtf8(aPath), manager_);
    files_.push_back(file);
    file->SetBlockSize(aSize);
    file->SetVadurVersion(47005);
    file->SetStreamEngineName(u"nx1xDefault");
    file->OpenFile(omReadWrite, smExclusive, false, true);
    EXPECT_EQ(file->AddHeader(aTrans, {}, kNX2), 0);
    return file;
  }

  Table& newTable() {
    tables_.push_back(std::make_unique<Table>());
    return *tables_.back();
  }

  // Creates and commits a table with aDict (taken over); aRoot: in the
  // root-table layout.
  Table& createTable(TnxServerDataDict* aDict, const std::string& aPath = "/db/t.nx1", bool aRoot = false) {
    Table& t = newTable();
    t.root = aRoot;
    t.dict.reset(aDict);
    TnxOwned<TestTransaction> trans(newTransaction());
    t.file = newFile(trans.get(), aPath, aDict->FilesDescriptor()->Files(0)->BlockSize());
    attach(t, trans.get());
    t.dict->WriteToFile(t.stream.get(), trans.get(), 47501);
    t.file->SetMaxID(t.dict->CurrentID());
    t.records.reset(TnxBaseRecordEngine::CreateEngine(t.dict.get(), {t.recordAccess.get()}, trans.get()));
    attachBlobs(t, trans.get());
    trans->Commit();
    noteLayout(aPath, t);
    return t;
  }

  // Opens a table file written before.
  Table& openExisting(const std::string& aPath = "/db/t.nx1") {
    Table& t = newTable();
    t.file = openTable(aPath);
    attach(t, nullptr);
    t.dict.reset(platform::create<TnxServerDataDict>());
    t.dict->ReadFromFile(t.stream.get(), nullptr);
    t.stream->Initialize(t.dict.get());
    t.file->SetMaxID(t.dict->CurrentID());
    t.root = !hasSubHeader(t, t.dict->RecordDescriptor()->ID());
    t.recordAccess.reset(engineAccess(t, t.dict->RecordDescriptor()->ID()));
    t.records.reset(TnxBaseRecordEngine::CreateEngine(t.dict.get(), {t.recordAccess.get()}, nullptr));
    attachBlobs(t, nullptr);
    noteLayout(aPath, t);
    return t;
  }

  // Whether the file has a sub-header block for engine aID ("NX!2").
  bool hasSubHeader(Table& t, std::int32_t aID) {
    TnxOwned<TnxBaseFileHeaderAccess> header(t.main->HeaderAccess(nullptr, false));
    auto* v2 = platform::objectAs<Tnx2xFileHeaderAccess>(header.get());
    if (!v2) return true;  // "NX!1": one header for all
    try {
      v2->GetHeaderBlockForID(nullptr, aID);
      return true;
    } catch (const EnxBaseException& e) {
      if (e.ErrorCode() != 8961 && e.ErrorCode() != 8712) throw;
      return false;
    }
  }

  // The block access of the engine with ID aID in t's layout.
  static TnxBlockAccess* engineAccess(Table& t, std::int32_t aID) {
    if (t.root) return platform::create<TnxBlockAccess>(t.file, nullptr, u"t", 0);
    return platform::create<TnxBlockAccess>(t.file, t.main.get(), u"t", aID);
  }

  // What the teardown check must tell the checker of aPath: the record
  // length and the indices whose nodes hold only references.
  void noteLayout(const std::string& aPath, Table& t) {
    recordLengths_[aPath] = t.records->breRecordLength;
    std::string keyless;
    if (const auto* indices = t.dict->IndicesDescriptor())
      for (std::int32_t i = 0; i < indices->IndexCount(); ++i) {
        const nxString& engine = indices->Indices(i)->IndexEngine();
        if (platform::sameTextAscii(engine, u"KeylessBStarTree") ||
            platform::sameTextAscii(engine, u"CacheKeylessBstarTree"))
        {
          if (!keyless.empty()) keyless.push_back(',');
          keyless.append(std::to_string(i));
        }
      }
    keylessIndices_[aPath] = keyless;
  }

  // The BLOB engine of a dictionary with a BLOB descriptor, on an access of
  // its own ID.
  void attachBlobs(Table& t, TnxBaseTransaction* aTrans) {
    if (!t.dict->BlobDescriptor()) return;
    t.blobAccess.reset(engineAccess(t, t.dict->BlobDescriptor()->ID()));
    t.blobs.reset(TnxBaseBlobEngine::CreateEngine(t.dict.get(), {t.blobAccess.get()}, aTrans));
  }

  void attach(Table& t, TnxBaseTransaction* aTrans) {
    t.main.reset(platform::create<TnxBlockAccess>(t.file, nullptr, u"t", 0));
    // The stream engine works on the file's main header: its section must be
    // found before the dictionary (and so its ID) is known.
    t.streamAccess.reset(platform::create<TnxBlockAccess>(t.file, nullptr, u"t", 0));
    t.stream.reset(TnxBaseStreamEngine::CreateEngine(t.dict ? t.dict->StreamDescriptor() : nullptr,
                                                     t.streamAccess.get(), aTrans));
    if (t.dict && t.dict->RecordDescriptor()) t.recordAccess.reset(engineAccess(t, t.dict->RecordDescriptor()->ID()));
  }

  // Closes every open table and removes its file from the manager.
  void closeAll() {
    for (auto& t : tables_) t->close();
    for (TnxBaseFile* file : files_) {
      manager_->RemoveFile(file);
      if (file->FileIsOpen()) file->CloseFile();
      platform::TObject::free(file);
    }
    files_.clear();
  }

  std::vector<std::uint8_t> disk(const std::string& aPath = "/db/t.nx1") {
    std::vector<std::uint8_t> data;
    fs_.contents(aPath, data);
    return data;
  }
  // Replaces a file; images put here are damaged on purpose unless aIntact,
  // so the checker at the end of the test leaves them alone.
  void putDisk(const std::vector<std::uint8_t>& aData, const std::string& aPath = "/db/t.nx1",
               bool aIntact = false) {
    fs_.putFile(aPath, aData);
    if (aIntact)
      uncheckedFiles_.erase(aPath);
    else
      uncheckedFiles_.insert(aPath);
  }

  // Runs the independent file checker on the file's bytes: "" when it
  // passes, else its report. aRecordLength 0: the record length of the
  // first table made or opened here, when there is one. aRaw: blocks that
  // no engine formats (only the free set and block numbers are checked).
  // aKeyless: the numbers of the keyless indices, comma-separated.
  std::string checkFile(const std::string& aPath = "/db/t.nx1", std::uint32_t aRecordLength = 0, bool aRaw = false,
                        const std::string& aKeyless = "") {
    if (aRecordLength == 0 && !tables_.empty() && tables_.front()->records)
      aRecordLength = tables_.front()->records->breRecordLength;
    const std::vector<std::uint8_t> data = disk(aPath);
    char name[] = "/tmp/nxcheckXXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return "no temporary file";
    ::close(fd);
    {
      std::ofstream out(name, std::ios::binary);
      out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    std::vector<std::string> args{name};
    if (aRecordLength) args.insert(args.end(), {"--record-length", std::to_string(aRecordLength)});
    if (aRaw) args.push_back("--raw");
    if (!aKeyless.empty()) args.insert(args.end(), {"--keyless", aKeyless});
    const CheckerVerdict verdict = runTableChecker(NX_PYTHON3, NX_TABLE_CHECKER, args);
    std::remove(name);
    return verdict.problems();
  }

  // Runs the checker once over every table file in /db (block 0 "NX!1" or
  // "NX!2", not encrypted), except those in uncheckedFiles_: "" when all pass, else the
  // report. Files in rawFiles_ hold blocks no engine formats; record
  // lengths come from the tables made or opened on each path.
  std::string checkWrittenFiles() {
    std::vector<std::string> names;
    if (fs_.listDirectory("/db", names) != 0) return std::string();
    std::vector<std::string> temporaries;
    std::vector<std::string> args;
    for (const std::string& name : names) {
      const std::string path = "/db/" + name;
      std::vector<std::uint8_t> data;
      if (uncheckedFiles_.count(path) || !fs_.contents(path, data) || data.size() < 4096 ||
          std::memcmp(data.data(), "NX!", 3) != 0 || (data[3] != '1' && data[3] != '2'))
        continue;
      // An encrypted file (an encryption engine named in block 0) cannot be
      // read without its key.
      if (data[40] != 0) continue;
      char temp[] = "/tmp/nxcheckXXXXXX";
      const int fd = mkstemp(temp);
      if (fd < 0) return "no temporary file";
      ::close(fd);
      temporaries.push_back(temp);
      std::ofstream out(temp, std::ios::binary);
      out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
      args.push_back(temp);
      if (auto it = recordLengths_.find(path); it != recordLengths_.end() && it->second)
        args.insert(args.end(), {"--record-length", std::to_string(it->second)});
      if (rawFiles_.count(path)) args.push_back("--raw");
      if (auto it = keylessIndices_.find(path); it != keylessIndices_.end() && !it->second.empty())
        args.insert(args.end(), {"--keyless", it->second});
    }
    if (temporaries.empty()) return std::string();
    const CheckerVerdict verdict = runTableChecker(NX_PYTHON3, NX_TABLE_CHECKER, args);
    for (const std::string& temp : temporaries) std::remove(temp.c_str());
    return verdict.problems();
  }

  std::vector<std::unique_ptr<Table>> tables_;
  std::set<std::string> uncheckedFiles_;
  std::set<std::string> rawFiles_;
  std::map<std::string, std::uint32_t> recordLengths_;
  std::map<std::string, std::string> keylessIndices_;
};

}  // namespace nxtest
