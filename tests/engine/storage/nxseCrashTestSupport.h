// Crash kit for journaled commits: a file system wrapper that records, before
// every operation that changes something, what a crash at that moment would
// leave on disk (optionally with a random subset of the writes not yet
// synced), and the fixture pieces that put such a state back, recover it
// and hand every table file to the independent checker.
#pragma once

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "nxseJournalEngine.h"
#include "nxseTableTestSupport.h"

namespace nxtest {

// A file's bytes at a crash point, shared with the file system and the other
// points until someone writes (the points of one commit are mostly alike).
class FileImage {
 public:
  FileImage() = default;
  FileImage(const std::vector<std::uint8_t>& aBytes) : image_(std::make_shared<std::vector<std::uint8_t>>(aBytes)) {}
  explicit FileImage(platform::FaultFileSystem::Image aImage) : image_(std::move(aImage)) {}

  const platform::FaultFileSystem::Image& shared() const { return image_; }
  const std::vector<std::uint8_t>& bytes() const { return image_ ? *image_ : empty(); }
  operator const std::vector<std::uint8_t>&() const { return bytes(); }
  std::size_t size() const { return bytes().size(); }
  std::uint8_t operator[](std::size_t aIndex) const { return bytes()[aIndex]; }
  // By value: two points hold equal bytes also when each has its own copy.
  bool operator==(const FileImage& aOther) const { return image_ == aOther.image_ || bytes() == aOther.bytes(); }

 private:
  static const std::vector<std::uint8_t>& empty() {
    static const std::vector<std::uint8_t> none;
    return none;
  }
  platform::FaultFileSystem::Image image_;
};

using Files = std::map<std::string, FileImage>;

// Forwards to a fault file system and, before every operation that changes
// something, records what a crash at that moment would leave on disk.
class CrashRecorder final : public platform::FileSystem {
 public:
  CrashRecorder(platform::FaultFileSystem& aInner, bool aRandomSubset, std::uint32_t aSeed)
      : inner_(aInner), subset_(aRandomSubset), random_(aSeed) {}

  std::vector<Files> points;

  void capture() {
    std::vector<std::string> names;
    inner_.listDirectory("/db", names);
    for (const std::string& n : names) paths_.insert("/db/" + n);
    Files files;
    for (const std::string& p : paths_) {
      platform::FaultFileSystem::Image image = inner_.durableImage(p);
      if (!image) continue;
      if (subset_) {
        // Copied only when a pending write lands on it.
        std::shared_ptr<std::vector<std::uint8_t>> data;
        for (const auto& w : pending_[p]) {
          if (random_() % 2) continue;
          if (!data) data = std::make_shared<std::vector<std::uint8_t>>(*image);
          if (data->size() < w.first + w.second.size()) data->resize(w.first + w.second.size());
          std::copy(w.second.begin(), w.second.end(), data->begin() + static_cast<std::ptrdiff_t>(w.first));
        }
        if (data) image = std::move(data);
      }
      files[p] = FileImage(std::move(image));
    }
    points.push_back(std::move(files));
  }

  int open(const std::string& aPath, const platform::FileOpenOptions& aOptions, platform::FileId& aFile) override {
    if (aOptions.create) capture();
    const int err = inner_.open(aPath, aOptions, aFile);
    if (err == 0) {
      paths_.insert(aPath);
      handles_[aFile] = {aPath, aOptions.writeThrough};
    }
    return err;
  }
  // An unnamed file leaves nothing after a crash: its operations record no point.
  int openUnnamed(const std::string& aFolder, platform::FileId& aFile) override {
    const int err = inner_.openUnnamed(aFolder, aFile);
    if (err == 0) unnamed_.insert(aFile);
    return err;
  }
  int close(platform::FileId aFile) override {
    unnamed_.erase(aFile);
    return inner_.close(aFile);
  }
  int readAt(platform::FileId aFile, void* aBuffer, std::size_t aCount, std::int64_t aOffset,
             std::size_t& aDone) override {
    return inner_.readAt(aFile, aBuffer, aCount, aOffset, aDone);
  }
  int writeAt(platform::FileId aFile, const void* aBuffer, std::size_t aCount, std::int64_t aOffset,
              std::size_t& aDone) override {
    if (unnamed_.count(aFile)) return inner_.writeAt(aFile, aBuffer, aCount, aOffset, aDone);
    capture();
    const auto& h = handles_[aFile];
    if (!h.writeThrough) {
      const auto* p = static_cast<const std::uint8_t*>(aBuffer);
      pending_[h.path].push_back({static_cast<std::size_t>(aOffset), std::vector<std::uint8_t>(p, p + aCount)});
    }
    return inner_.writeAt(aFile, aBuffer, aCount, aOffset, aDone);
  }
  int sync(platform::FileId aFile) override {
    capture();
    pending_[handles_[aFile].path].clear();
    return inner_.sync(aFile);
  }
  int truncate(platform::FileId aFile, std::int64_t aSize) override {
    if (!unnamed_.count(aFile)) capture();
    return inner_.truncate(aFile, aSize);
  }
  int punchHole(platform::FileId aFile, std::int64_t aOffset, std::int64_t aLength) override {
    return inner_.punchHole(aFile, aOffset, aLength);
  }
  int size(platform::FileId aFile, std::int64_t& aSize) override { return inner_.size(aFile, aSize); }
  int identity(platform::FileId aFile, platform::FileIdentityInfo& aInfo) override {
    return inner_.identity(aFile, aInfo);
  }
  int pathInfo(const std::string& aPath, platform::PathInfo& aInfo) override { return inner_.pathInfo(aPath, aInfo); }
  int remove(const std::string& aPath) override {
    capture();
    return inner_.remove(aPath);
  }
  int rename(const std::string& aFrom, const std::string& aTo) override {
    capture();
    return inner_.rename(aFrom, aTo);
  }
  int listDirectory(const std::string& aPath, std::vector<std::string>& aNames) override {
    return inner_.listDirectory(aPath, aNames);
  }
  int syncDirectory(const std::string& aPath) override {
    capture();
    return inner_.syncDirectory(aPath);
  }
  int fileSystemType(const std::string& aPath, std::string& aType) override {
    return inner_.fileSystemType(aPath, aType);
  }
  std::string absolutePath(const std::string& aPath) override { return inner_.absolutePath(aPath); }

 private:
  struct HandleInfo {
    std::string path;
    bool writeThrough = false;
  };
  platform::FaultFileSystem& inner_;
  bool subset_;
  std::mt19937 random_;
  std::set<std::string> paths_;
  std::map<platform::FileId, HandleInfo> handles_;
  std::set<platform::FileId> unnamed_;
  std::map<std::string, std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>>> pending_;
};

// The fixture pieces, over a table fixture (TableTest or one derived from it).
template <class Base>
class JournalCrashKit : public Base {
 protected:
  using Base::fs_;
  using Base::disk;
  using Base::putDisk;
  using Base::checkFile;
  using Base::closeAll;
  using Base::tables_;
  using Base::manager_;
  using Base::files_;
  using Base::newTable;
  using Base::newTransaction;
  using Base::attach;
  using Base::attachBlobs;

  // A table made as the server engine makes it (password "pw" when
  // encrypted), with the dictionary aDict (taken over) and its BLOB engine, if any; committed.
  Table& makeCrashTable(const std::string& aPath, bool aEncrypted, TnxServerDataDict* aDict) {
    Table& t = newTable();
    TnxOwned<TestTransaction> trans(newTransaction());
    t.dict.reset(aDict);
    t.file = TnxBaseFile::Alloc(true, platform::fromUtf8(aPath), manager_);
    files_.push_back(t.file);
    t.file->SetVadurVersion(47005);
    t.file->SetStreamEngineName(u"nx1xDefault");
    if (aEncrypted) t.file->SetEncryptionEngineName(u"nx1xDefault");
    t.file->OpenFile(omReadWrite, smExclusive, false, true);
    EXPECT_EQ(t.file->AddHeader(trans.get(), {u"pw"}, kNX2), 0);
    attach(t, trans.get());
    t.dict->WriteToFile(t.stream.get(), trans.get(), 47501);
    t.file->SetMaxID(t.dict->CurrentID());
    t.records.reset(TnxBaseRecordEngine::CreateEngine(t.dict.get(), {t.recordAccess.get()}, trans.get()));
    attachBlobs(t, trans.get());
    trans->Commit();
    return t;
  }
  // Opens a table made before (with the password "pw").
  Table& openCrashTable(const std::string& aPath) {
    Table& t = newTable();
    t.file = TnxBaseFile::Alloc(true, platform::fromUtf8(aPath), manager_);
    files_.push_back(t.file);
    t.file->OpenFile(omReadWrite, smExclusive, false, false);
    TnxReleaseMethod release;
    PnxBlock header = nullptr;
    bool readOnly = false;
    EXPECT_EQ(manager_->AddFile(t.file, nullptr, {u"pw"}, false, release, header, readOnly), 0);
    TnxPinnedBlock(header, release).Release();
    attach(t, nullptr);
    t.dict.reset(platform::create<TnxServerDataDict>());
    t.dict->ReadFromFile(t.stream.get(), nullptr);
    t.stream->Initialize(t.dict.get());
    t.file->SetMaxID(t.dict->CurrentID());
    t.recordAccess.reset(
        platform::create<TnxBlockAccess>(t.file, t.main.get(), u"t", t.dict->RecordDescriptor()->ID()));
    t.records.reset(TnxBaseRecordEngine::CreateEngine(t.dict.get(), {t.recordAccess.get()}, nullptr));
    attachBlobs(t, nullptr);
    return t;
  }

  // Opens a table as the server engine does (password "pw"); a refused
  // header or a file without records is raised as an engine error.
  Table& openOrThrow(const std::string& aPath) {
    Table& t = newTable();
    t.file = TnxBaseFile::Alloc(true, platform::fromUtf8(aPath), manager_);
    files_.push_back(t.file);
    t.file->OpenFile(omReadWrite, smExclusive, false, false);
    TnxReleaseMethod release;
    PnxBlock header = nullptr;
    bool readOnly = false;
    const TnxResult result = manager_->AddFile(t.file, nullptr, {u"pw"}, false, release, header, readOnly);
    if (result != 0) throw EnxBaseException(result);
    TnxPinnedBlock(header, release).Release();
    attach(t, nullptr);
    t.dict.reset(platform::create<TnxServerDataDict>());
    t.dict->ReadFromFile(t.stream.get(), nullptr);
    t.stream->Initialize(t.dict.get());
    t.file->SetMaxID(t.dict->CurrentID());
    if (!t.dict->RecordDescriptor()) throw EnxBaseException(8961);
    t.recordAccess.reset(Base::engineAccess(t, t.dict->RecordDescriptor()->ID()));
    t.records.reset(TnxBaseRecordEngine::CreateEngine(t.dict.get(), {t.recordAccess.get()}, nullptr));
    attachBlobs(t, nullptr);
    return t;
  }

  // The file as the checker must see it: decrypted through IterateBlocks
  // (aSize: the file's size, room made for it at once).
  std::vector<std::uint8_t> plainImage(TnxBaseFile* aFile, std::size_t aSize = 0) {
    std::vector<std::uint8_t> out;
    out.reserve(aSize);
    TnxBlockIterator it{[](void*, void* aCookie, TnxBlockNumber aNr, PnxBlock aBlock) {
                          auto* o = static_cast<std::vector<std::uint8_t>*>(aCookie);
                          o->resize(std::size_t{aNr + 1} * kBlock, 0);
                          if (aBlock) std::copy(aBlock, aBlock + kBlock, o->begin() + std::ptrdiff_t{aNr} * kBlock);
                          return birContinue;
                        },
                        nullptr};
    aFile->IterateBlocks(&out, it);
    return out;
  }
  static std::size_t hashOf(const std::vector<std::uint8_t>& aBytes) {
    return std::hash<std::string_view>()(std::string_view(reinterpret_cast<const char*>(aBytes.data()), aBytes.size()));
  }
  void checkWithChecker(const std::string& aPath, TnxBaseFile* aFile, std::uint32_t aRecordLength) {
    std::vector<std::uint8_t> image = disk(aPath);
    if (aFile->EncryptionEngine()) {
      // The same encrypted bytes of the same file decrypt to the same plain
      // image, checked when first seen: decrypting every block again was a
      // quarter of a crash test's time under the sanitizers.
      if (!decrypted_.insert({aPath, hashOf(image)}).second) return;
      image = plainImage(aFile, image.size());
    }
    if (!checked_.insert(hashOf(image)).second) return;  // this image was checked before
    putDisk(image, "/db/checker.copy");
    const std::string report = checkFile("/db/checker.copy", aRecordLength);
    EXPECT_EQ(report, "") << aPath;
    fs_.remove("/db/checker.copy");
  }

  // The set-up commits ran without journal (no sync): their files are made
  // durable as they are.
  void makeDurable() {
    std::vector<std::string> names;
    fs_.listDirectory("/db", names);
    for (const std::string& n : names) fs_.putFile("/db/" + n, disk("/db/" + n));
  }
  // Replaces the folder's files by aFiles.
  void restore(const Files& aFiles) {
    closeAll();
    tables_.clear();
    std::vector<std::string> names;
    fs_.listDirectory("/db", names);
    for (const std::string& n : names) fs_.remove("/db/" + n);
    fs_.syncDirectory("/db");
    for (const auto& [path, data] : aFiles) fs_.putImage(path, data.shared());
  }
  void recover(bool aCommitKind) {
    if (aCommitKind)
      Tnx1xCommitJournalEngine::Check(u"db", u"/db");
    else
      Tnx1xRollbackJournalEngine::Check(u"db", u"/db");
  }
  // A journal of kind aKind (0 both images, 1 commit, 2 rollback) named by
  // the transaction's LSN, as the server engine names it.
  static TnxBaseJournalEngine* newJournal(int aKind, TnxBaseTransaction* aTrans) {
    const std::u16string name = platform::fromUtf8("/db/" + std::to_string(aTrans->btLSN) + ".n$2");
    if (aKind == 0) return platform::create<Tnx1xJournalEngine>(name);
    if (aKind == 1) return platform::create<Tnx1xCommitJournalEngine>(name);
    return platform::create<Tnx1xRollbackJournalEngine>(name);
  }
  void expectNoJournalLeft() {
    std::vector<std::string> names;
    fs_.listDirectory("/db", names);
    for (const std::string& n : names) EXPECT_FALSE(n.size() > 4 && n.substr(n.size() - 4) == ".n$2") << n;
  }

  std::set<std::size_t> checked_;
  std::set<std::pair<std::string, std::size_t>> decrypted_;
};

}  // namespace nxtest
