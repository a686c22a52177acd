#include "nxsdDataDictionary.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxsdTestSupport.h"
#include "nxllException.h"
#include "nxllUtils.h"
#include "nxsdFilterEngineSQL.h"
#include "plLocale.h"
#include "plString.h"
#include "nxTestWatchdog.h"

namespace {

using nxsdtest::B;
using nxsdtest::Bytes;


Bytes streamOf(TnxMemoryStream& s) {
  const auto* p = static_cast<const std::uint8_t*>(s.Memory());
  return Bytes(p, p + s.Size());
}

template <class Item>
Bytes save(Item& aItem, std::int32_t aClient) {
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    aItem.SaveToWriter(w, aClient);
    w.FlushBuffer();
  }
  return streamOf(s);
}

void fill(TnxMemoryStream& s, const Bytes& b) {
  s.Clear();
  s.WriteBuffer(b.data(), static_cast<std::int32_t>(b.size()));
  s.SetPosition(0);
}

template <class Item>
void load(Item& aItem, const Bytes& b) {
  TnxMemoryStream s;
  fill(s, b);
  TnxReader r(s);
  aItem.LoadFromReader(r);
}

using nxsdtest::expectCode;

// The data dictionary as these items see it: IDs, read-only and the
// constraint name register.
class FakeDictionary : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  FakeDictionary() : TnxDictionaryItem(nullptr) {}
  bool IsDataDictionary() const override { return true; }
  std::int32_t NextItemID() override { return ++nextID; }
  void CheckReadOnly() override {
    if (readOnly) throw EnxDataDictionaryException(nxErrDictionaryReadOnly);
  }
  std::int32_t DictionaryUsableBlockSize(TnxBlockSize aBlockSize) override {
    return (4096 << aBlockSize) - 100;
  }
  void RegisterConstraintName(TnxDictionaryItem*, const nxString& aName) override {
    if (!names.insert(aName).second) throw EnxDataDictionaryException(nxErrNameNotUnique);
  }
  void UnregisterConstraintName(TnxDictionaryItem*, const nxString& aName) override {
    if (aName == failUnregister) throw EnxDataDictionaryException(nxErrObjectInUse);
    names.erase(aName);
  }
  // Answers with its files like a table does.
  bool FindRelatedDescriptorOfType(const platform::ClassInfo& aType, TnxDictionaryItem*& aDescriptor,
                                   TnxDictionaryItem* aFrom) override {
    if (files && files->inheritsFrom(aType)) {
      aDescriptor = files;
      return true;
    }
    return TnxDictionaryItem::FindRelatedDescriptorOfType(aType, aDescriptor, aFrom);
  }
  bool readOnly = false;
  nxString failUnregister;
  TnxDictionaryItem* files = nullptr;
  std::int32_t nextID = 0;
  std::set<nxString> names;
};
PL_CLASS_INFO_IMPL(FakeDictionary, TnxDictionaryItem, "FakeDictionary", nullptr)

class PlainItem : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  using TnxDictionaryItem::TnxDictionaryItem;
  bool OwnRequiresPack() override { return pack; }
  bool References(const TnxDictionaryItem* aItem) const override { return aItem == target; }
  bool pack = false;
  const TnxDictionaryItem* target = nullptr;
};
PL_CLASS_INFO_IMPL(PlainItem, TnxDictionaryItem, "PlainItem", nullptr)

// A table-like and a field-like item carrying locales.
class LocalTable : public TnxLocalizedDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  using TnxLocalizedDictionaryItem::TnxLocalizedDictionaryItem;
};
PL_CLASS_INFO_IMPL(LocalTable, TnxLocalizedDictionaryItem, "LocalTable", nullptr)

// Holds a file number and follows the renumbering rule.
class FileHolder : public TnxDictionaryItem {
  PL_CLASS_INFO_DECL()
 public:
  FileHolder(TnxPersistent* aParent, std::int32_t aFile) : TnxDictionaryItem(aParent), file(aFile) {}
  void HandleFileChange(bool aBefore, std::int32_t aOld, std::int32_t aNew) override {
    calls.push_back({aBefore, aOld, aNew});
    if (aBefore) {
      if (aOld == file && aNew < 0) throw EnxIndexDescriptorException(nxErrObjectInUse, u"file in use");
    } else {
      nxsdAdjustPosition(file, aOld, aNew);
    }
  }
  struct Call {
    bool before;
    std::int32_t old, now;
    bool operator==(const Call&) const = default;
  };
  std::int32_t file;
  std::vector<Call> calls;
};
PL_CLASS_INFO_IMPL(FileHolder, TnxDictionaryItem, "FileHolder", nullptr)

// A file descriptor class of its own, built through the family's virtual constructor.
class SpecialFile : public TnxFileDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxFileDescriptor::TnxFileDescriptor;
};
PL_CLASS_INFO_IMPL_TABLE(SpecialFile, TnxFileDescriptor, "SpecialFile", nullptr,
                         platform::bindClassTable(nxFileDescriptorFuncs<SpecialFile>))

class DataDictionaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
  }
  void TearDown() override {
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
    nxsdSetStrippedInformation(false);
  }
};

// ---------------------------------------------------------------- item part

TEST_F(DataDictionaryTest, ItemPartGoldenBytesPerClientVersion) {
  FakeDictionary dd;
  PlainItem item(&dd);
  item.CustomStrings().add(u"A=1");
  item.SetConstraintName(u"C1");
  EXPECT_EQ(item.ID(), 1);
  EXPECT_EQ(save(item, 20000), B().Int(3).ListBegin().Str("A=1").ListEnd().Int(1).Str("C1").b);
  EXPECT_EQ(save(item, 19999), B().Int(1).ListBegin().Str("A=1").ListEnd().b);
}

TEST_F(DataDictionaryTest, ItemPartReadVersions) {
  FakeDictionary dd;
  PlainItem item(&dd);
  expectCode<EnxDictionaryItemException>([&] { load(item, B().Int(4).ListBegin().ListEnd().b); },
                                         nxErrIncompatibleStream, u"Incompatible stream");
  expectCode<EnxDictionaryItemException>([&] { load(item, B().Int(0).ListBegin().ListEnd().b); },
                                         nxErrIncompatibleStream);
  // The list marker must follow the version.
  expectCode<EnxDictionaryItemException>([&] { load(item, B().Int(3).Str("A=1").ListEnd().b); },
                                         nxErrIncompatibleStream);
  // Version 1: only the custom strings; the ID stays.
  load(item, B().Int(1).ListBegin().Str("X=9").ListEnd().b);
  EXPECT_EQ(item.ID(), 1);
  EXPECT_EQ(item.CustomStrings().count(), 1);
  EXPECT_EQ(item.CustomStrings().strings(0), u"X=9");
  // Version 2: the ID, no constraint name.
  load(item, B().Int(2).ListBegin().ListEnd().Int(77).b);
  EXPECT_EQ(item.ID(), 77);
  EXPECT_FALSE(item.HasCustomStrings());
  load(item, B().Int(3).ListBegin().ListEnd().Int(5).Str("Cn").b);
  EXPECT_EQ(item.ConstraintName(), u"Cn");
  EXPECT_EQ(dd.names.count(u"Cn"), 1u);
}

TEST_F(DataDictionaryTest, StrippedInformationMarksOnlyTheDictionary) {
  FakeDictionary dd;
  PlainItem item(&dd);
  nxsdSetStrippedInformation(true);
  const Bytes marked = B().Int(3).ListBegin().Str("$MissingInformation=True").ListEnd().Int(0).Str("").b;
  EXPECT_EQ(save(dd, 47005), marked);
  EXPECT_EQ(save(item, 47005), B().Int(3).ListBegin().ListEnd().Int(1).Str("").b);
  dd.CustomStrings().add(u"$MissingInformation=Yes");
  EXPECT_EQ(save(dd, 47005), B().Int(3).ListBegin().Str("$MissingInformation=Yes").ListEnd().Int(0).Str("").b);
  nxsdSetStrippedInformation(false);
  dd.SetCustomStrings(nullptr);
  EXPECT_EQ(save(dd, 47005), B().Int(3).ListBegin().ListEnd().Int(0).Str("").b);
}

TEST_F(DataDictionaryTest, AssignKeepsOwnIdAndTakesConstraintName) {
  FakeDictionary dd;
  FakeDictionary dd2;
  PlainItem source(&dd), copy(&dd2), other(&dd2);
  source.CustomStrings().add(u"K=V");
  source.SetConstraintName(u"Src");
  copy.Assign(&source);
  EXPECT_EQ(copy.ID(), 1);
  EXPECT_EQ(other.ID(), 2);
  EXPECT_EQ(nxsdAssignDepth(), 0);
  EXPECT_EQ(copy.CustomStrings().strings(0), u"K=V");
  EXPECT_EQ(copy.ConstraintName(), u"Src");
  EXPECT_TRUE(copy.IsEqual(&source));
  // The register refused the same name twice: it went through the setter.
  PlainItem third(&dd2);
  expectCode<EnxDataDictionaryException>([&] { third.SetConstraintName(u"Src"); }, nxErrNameNotUnique);
  // Unrelated classes go to the base assignment.
  FakeDictionary unrelated;
  EXPECT_THROW(copy.Assign(&unrelated), platform::ConvertError);
}

TEST_F(DataDictionaryTest, CheckValidCleansCustomStringsOnlyForBuild) {
  PlainItem item(nullptr);
  for (auto s : {u"A=1", u"B=2", u"a=3", u" \t"}) item.CustomStrings().add(s);
  item.CheckValid(false);
  EXPECT_EQ(item.CustomStrings().count(), 4);
  item.CheckValid(true);
  ASSERT_EQ(item.CustomStrings().count(), 2);
  EXPECT_EQ(item.CustomStrings().strings(0), u"B=2");
  EXPECT_EQ(item.CustomStrings().strings(1), u"a=3");
}

TEST_F(DataDictionaryTest, ConstraintNameValidationAndRollback) {
  FakeDictionary dd;
  PlainItem item(&dd);
  expectCode<EnxDictionaryItemException>([&] { item.SetConstraintName(u"bad:name"); }, nxErrInvalidName);
  item.SetConstraintName(u"$Reserved");  // reserved names pass
  item.SetConstraintName(u"First");
  EXPECT_EQ(dd.names, std::set<nxString>{u"First"});
  dd.failUnregister = u"First";
  expectCode<EnxDataDictionaryException>([&] { item.SetConstraintName(u"Second"); }, nxErrObjectInUse);
  EXPECT_EQ(item.ConstraintName(), u"First");
  EXPECT_EQ(dd.names, std::set<nxString>{u"First"});  // the new name was taken back
  dd.failUnregister.clear();
  item.SetConstraintName(u"");
  EXPECT_TRUE(dd.names.empty());
}

TEST_F(DataDictionaryTest, ReadOnlyDictionaryRefusesChanges) {
  FakeDictionary dd;
  LocalTable table(&dd);
  TnxFilesDescriptor files(&table);
  files.AddFile(u"", nxbs4k, u"");
  TnxLocaleDescriptor* locale = table.AddLocaleDescriptor();
  platform::TStringList lines;
  dd.readOnly = true;
  const std::vector<std::function<void()>> changes = {
      [&] { table.SetCustomStrings(&lines); },
      [&] { table.SetCustomStrings(nullptr); },
      [&] { table.Clear(true); },
      [&] { table.AddLocaleDescriptor(); },
      [&] { table.RemoveLocaleDescriptor(); },
      [&] { locale->SetLocale(1031); },
      [&] { locale->SetFlags(0); },
      [&] { files.AddFile(u"nx1", nxbs4k, u""); },
      [&] { files.Files(0)->SetBlockSizeBytes(8192); },
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    SCOPED_TRACE(i);
    expectCode<EnxBaseException>(changes[i], nxErrDictionaryReadOnly);
  }
  EXPECT_EQ(table.LocaleDescriptor(), locale);
  EXPECT_EQ(files.FileCount(), 1);
  // Setting the same block size is no change.
  files.Files(0)->SetBlockSize(nxbs4k);
}

TEST_F(DataDictionaryTest, CustomStringsNilEmpties) {
  PlainItem item(nullptr);
  item.CustomStrings().add(u"A=1");
  EXPECT_TRUE(item.HasCustomStrings());
  item.SetCustomStrings(nullptr);
  EXPECT_FALSE(item.HasCustomStrings());
  EXPECT_EQ(item.CustomStrings().count(), 0);
}

TEST_F(DataDictionaryTest, ParentsChildrenAndRelatedSearch) {
  FakeDictionary dd;
  {
    PlainItem a(&dd);
    PlainItem b(&a);
    EXPECT_EQ(dd.ChildCount(), 1);
    EXPECT_EQ(b.ID(), 2);
    TnxPersistent* found = nullptr;
    EXPECT_TRUE(b.FindParentOfType(FakeDictionary::staticClassInfo(), found));
    EXPECT_EQ(found, &dd);
    EXPECT_FALSE(a.FindParentOfType(TnxFilesDescriptor::staticClassInfo(), found));
    EXPECT_EQ(found, nullptr);
    expectCode<EnxDictionaryItemException>([&] { b.GetParentOfType(TnxFilesDescriptor::staticClassInfo()); },
                                           nxErrObjectNotFound, u"No Parent of type TnxFilesDescriptor");
    expectCode<EnxDictionaryItemException>(
        [&] { b.GetRelatedDescriptorOfType(TnxFilesDescriptor::staticClassInfo()); }, nxErrObjectNotFound,
        u"No related Descriptor of type TnxFilesDescriptor could be found");
    EXPECT_EQ(b.GetRelatedDescriptorOfType(FakeDictionary::staticClassInfo()), &dd);

    // Pack decision and referencing walk.
    EXPECT_FALSE(dd.RequiresPack());
    b.pack = true;
    EXPECT_TRUE(dd.RequiresPack());
    b.target = &dd;
    std::vector<TnxDictionaryItem*> seen;
    auto collect = [&](TnxDictionaryItem* aItem, void*) {
      seen.push_back(aItem);
      return irContinue;
    };
    EXPECT_EQ(dd.IterateReferencing(collect, nullptr, &dd, false), irContinue);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(dd.IterateReferencing(collect, nullptr, &dd, true), irContinue);
    EXPECT_EQ(seen, std::vector<TnxDictionaryItem*>{&b});
    EXPECT_EQ(dd.IterateReferencing([](TnxDictionaryItem*, void*) { return irStop; }, nullptr, &dd, true), irStop);

    dd.ActivateCache();
    EXPECT_TRUE(b.CacheActive());
    dd.DeactivateCache();
    EXPECT_FALSE(b.CacheActive());
  }
  EXPECT_EQ(dd.ChildCount(), 0);
}

// ---------------------------------------------------------------- renumbering

TEST(DataDictionaryRenumber, HeldPositionFollowsChanges) {
  struct Row {
    std::int32_t old, now, expected;
  };
  // A key field on field 3.
  const Row rows[] = {{1, -1, 2}, {5, 2, 4}, {-1, 3, 4}, {-1, 4, 3}, {3, -1, -1}, {3, 7, 7},
                      {2, 5, 2},  {4, 1, 4}, {4, 3, 4},  {0, 3, 2}, {6, 0, 4}};
  for (const Row& r : rows) {
    std::int32_t p = 3;
    EXPECT_EQ(nxsdAdjustPosition(p, r.old, r.now), r.expected != 3) << r.old << "->" << r.now;
    EXPECT_EQ(p, r.expected) << r.old << "->" << r.now;
  }
}

// ---------------------------------------------------------------- files

TEST_F(DataDictionaryTest, FileDescriptorStreamAndBlockSize) {
  TnxFileDescriptor file(nullptr, u"nx1");
  EXPECT_EQ(file.InitialSize(), 4);
  EXPECT_EQ(file.GrowSize(), 1);
  file.SetDesc(u"Data");
  file.SetBlockSizeBytes(16384);
  file.SetInitialSize(300);
  EXPECT_EQ(file.BlockSize(), nxbs16k);
  const Bytes golden = B().Int(3).ListBegin().ListEnd().Int(0).Str("").Int(1).Str("Data").Int(16384).Int(300).Int(1).b;
  EXPECT_EQ(save(file, 47005), golden);

  TnxFileDescriptor back(nullptr, u"nx1");
  load(back, golden);
  EXPECT_TRUE(back.IsEqual(&file));
  back.SetGrowSize(2);
  EXPECT_FALSE(back.IsEqual(&file));

  expectCode<EnxFileDescriptorException>([&] { file.SetBlockSizeBytes(4194304); }, nxErrInvalidDesc,
                                         u"4194304 is not a valid BlockSize");
  const Bytes bad = B().Int(3).ListBegin().ListEnd().Int(0).Str("").Int(2).Str("Data").Int(16384).Int(300).Int(1).b;
  expectCode<EnxFileDescriptorException>([&] { load(back, bad); }, nxErrIncompatibleStream);
  Bytes badSize = B().Int(3).ListBegin().ListEnd().Int(0).Str("").Int(1).Str("").Int(1000).Int(4).Int(1).b;
  expectCode<EnxFileDescriptorException>([&] { load(back, badSize); }, nxErrInvalidDesc);

  EXPECT_EQ(file.FileID(), u"");
  file.SetFileID(u"{ABC}");
  EXPECT_EQ(file.FileID(), u"{ABC}");
}

TEST_F(DataDictionaryTest, FileDescriptorUsableBlockSizeAsksTheDictionary) {
  FakeDictionary dd;
  TnxFilesDescriptor files(&dd);
  TnxFileDescriptor* f = files.AddFile(u"", nxbs8k, u"");
  EXPECT_EQ(f->UsableBlockSize(), 8192 - 100);
  TnxFileDescriptor alone(nullptr, u"");
  expectCode<EnxFileDescriptorException>([&] { alone.UsableBlockSize(); }, nxErrNotSupported);
}

TEST_F(DataDictionaryTest, AddFileRules) {
  TnxFilesDescriptor files(nullptr);
  expectCode<EnxFilesDescriptorException>([&] { files.AddFile(u"nx1", nxbs4k, u""); }, nxErrInvalidFileExt,
                                          u"Invalid file extension: \"nx1\"");
  files.AddFile(u"", nxbs4k, u"base");
  expectCode<EnxFilesDescriptorException>([&] { files.AddFile(u"", nxbs4k, u""); }, nxErrInvalidFileExt);
  expectCode<EnxFilesDescriptorException>([&] { files.AddFile(u"a*b", nxbs4k, u""); }, nxErrInvalidFileExt);
  TnxFileDescriptor* f = files.AddFile(u"nx1", nxbs64k, u"blobs");
  EXPECT_EQ(f->Number(), 1);
  EXPECT_EQ(f->Desc(), u"blobs");
  EXPECT_EQ(f->BlockSizeBytes(), 65536);
  expectCode<EnxFilesDescriptorException>([&] { files.AddFile(u"NX1", nxbs4k, u""); }, nxErrNameNotUnique,
                                          u"Duplicated file extension: \"NX1\"");
  EXPECT_EQ(files.GetFileFromExt(u"Nx1"), 1);
  EXPECT_EQ(files.GetFileFromExt(u"nx2"), -1);
  EXPECT_EQ(files.FileCount(), 2);
}

struct FilesFixture {
  FakeDictionary dd;
  TnxFilesDescriptor* files = platform::create<TnxFilesDescriptor>(&dd);
  FilesFixture() {
    dd.files = files;
    files->AddFile(u"", nxbs4k, u"");
    for (auto e : {u"a1", u"b2", u"c3"}) files->AddFile(e, nxbs4k, u"");
  }
  ~FilesFixture() { platform::TObject::free(files); }
  std::vector<nxString> exts() const {
    std::vector<nxString> r;
    for (int i = 0; i < files->FileCount(); ++i) {
      EXPECT_EQ(files->Files(i)->Number(), i);
      r.push_back(files->Files(i)->Extension());
    }
    return r;
  }
};

TEST_F(DataDictionaryTest, RemoveAndMoveFileBounds) {
  FilesFixture fx;
  expectCode<EnxFilesDescriptorException>([&] { fx.files->RemoveFile(0); }, nxErrObjectInUse,
                                          u"Cannot remove the base file descriptor");
  fx.files->RemoveFile(5);
  fx.files->RemoveFile(-1);
  EXPECT_EQ(fx.files->FileCount(), 4);
  expectCode<EnxFilesDescriptorException>([&] { fx.files->MoveFile(1, 0); }, nxErrInvalidDescNumber,
                                          u"Index out of bounds: 0");
  expectCode<EnxFilesDescriptorException>([&] { fx.files->MoveFile(4, 1); }, nxErrInvalidDescNumber,
                                          u"Index out of bounds: 4");
  fx.files->MoveFile(1, 1);
  fx.files->MoveFile(1, 3);
  EXPECT_EQ(fx.exts(), (std::vector<nxString>{u"", u"b2", u"c3", u"a1"}));
  fx.files->RemoveFile(2);
  EXPECT_EQ(fx.exts(), (std::vector<nxString>{u"", u"b2", u"a1"}));
}

TEST_F(DataDictionaryTest, SubscribersRenumberAndVeto) {
  FilesFixture fx;
  FileHolder holder(&fx.dd, 2);
  holder.RegisterFileChanges();
  fx.files->InsertFileAt(1, u"n0", nxbs4k, u"");
  EXPECT_EQ(holder.file, 3);
  EXPECT_EQ(fx.exts(), (std::vector<nxString>{u"", u"n0", u"a1", u"b2", u"c3"}));
  // Appended at the end: before-call only.
  holder.calls.clear();
  fx.files->InsertFileAt(5, u"z9", nxbs4k, u"");
  EXPECT_EQ(holder.calls, (std::vector<FileHolder::Call>{{true, -1, 5}}));
  fx.files->MoveFile(4, 1);
  EXPECT_EQ(holder.file, 4);
  fx.files->MoveFile(4, 2);
  EXPECT_EQ(holder.file, 2);
  // The held file cannot go.
  expectCode<EnxIndexDescriptorException>([&] { fx.files->RemoveFile(2); }, nxErrObjectInUse);
  EXPECT_EQ(fx.files->FileCount(), 6);
  fx.files->RemoveFile(1);
  EXPECT_EQ(holder.file, 1);
  // A failed add inside an insertion changes nothing.
  holder.calls.clear();
  expectCode<EnxFilesDescriptorException>([&] { fx.files->InsertFileAt(1, u"A1", nxbs4k, u""); },
                                          nxErrNameNotUnique);
  EXPECT_EQ(holder.calls, (std::vector<FileHolder::Call>{{true, -1, 1}}));
  expectCode<EnxFilesDescriptorException>([&] { fx.files->InsertFileAt(9, u"q", nxbs4k, u""); },
                                          nxErrInvalidDescNumber);
  holder.UnregisterFileChanges();
  holder.calls.clear();
  fx.files->RemoveFile(1);
  EXPECT_TRUE(holder.calls.empty());
}

TEST_F(DataDictionaryTest, RenameFile) {
  FilesFixture fx;
  fx.files->RenameFile(1, u"A1");  // case alone changes
  EXPECT_EQ(fx.files->Files(1)->Extension(), u"A1");
  expectCode<EnxFilesDescriptorException>([&] { fx.files->RenameFile(1, u"B2"); }, nxErrNameNotUnique);
  expectCode<EnxFilesDescriptorException>([&] { fx.files->RenameFile(1, u""); }, nxErrInvalidFileExt);
  expectCode<EnxFilesDescriptorException>([&] { fx.files->RenameFile(u"", u"x"); }, nxErrInvalidDescNumber,
                                          u"Index out of bounds: 0");
  expectCode<EnxFilesDescriptorException>([&] { fx.files->RenameFile(u"none", u"x"); }, nxErrInvalidDescNumber,
                                          u"Index out of bounds: -1");
  fx.files->RenameFile(u"c3", u"d4");
  EXPECT_EQ(fx.files->GetFileFromExt(u"d4"), 3);
}

TEST_F(DataDictionaryTest, FilesStreamRoundTripAndRefusals) {
  FilesFixture fx;
  fx.files->Files(2)->SetDesc(u"two");
  const Bytes bytes = save(*fx.files, 47005);
  // Prefix: item part, version, count, then class name and extension of the base file.
  const Bytes prefix = B().Int(3).ListBegin().ListEnd().Int(1).Str("").Int(1).Int(4).Str("TnxFileDescriptor").Str("").b;
  ASSERT_GE(bytes.size(), prefix.size());
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + static_cast<long>(prefix.size())), prefix);

  TnxFilesDescriptor back(nullptr);
  load(back, bytes);
  EXPECT_TRUE(back.IsEqual(fx.files));
  EXPECT_EQ(back.Files(3)->Number(), 3);
  EXPECT_EQ(back.Files(2)->Desc(), u"two");
  back.RenameFile(3, u"zz");
  EXPECT_FALSE(back.IsEqual(fx.files));

  expectCode<EnxFilesDescriptorException>([&] { save(*fx.files, 19999); }, nxErrIncompatibleVersion);

  const Bytes unknown = B().Int(3).ListBegin().ListEnd().Int(0).Str("").Int(1).Int(1).Str("TnxNoSuchFile").Str("").b;
  expectCode<EnxFilesDescriptorException>([&] { load(back, unknown); }, nxErrUnsupportedDescriptor,
                                          u"FileDescriptor class is not supported: TnxNoSuchFile");
  const Bytes version2 = B().Int(3).ListBegin().ListEnd().Int(0).Str("").Int(2).Int(0).b;
  expectCode<EnxFilesDescriptorException>([&] { load(back, version2); }, nxErrIncompatibleStream);
}

TEST_F(DataDictionaryTest, FileClassesComeFromTheRegistry) {
  TnxDescriptorClass<SpecialFile>::Register();
  TnxFilesDescriptor files(nullptr);
  files.AddFile(u"", nxbs4k, u"");
  files.AddFile(u"sp", nxbs4k, u"", &SpecialFile::staticClassInfo());
  EXPECT_EQ(&files.Files(1)->classInfo(), &SpecialFile::staticClassInfo());
  const Bytes bytes = save(files, 47005);
  TnxFilesDescriptor back(nullptr);
  load(back, bytes);
  EXPECT_EQ(&back.Files(1)->classInfo(), &SpecialFile::staticClassInfo());
  EXPECT_EQ(back.Files(1)->Extension(), u"sp");
  EXPECT_TRUE(back.IsEqual(&files));
  // A plain file in the same place is another class.
  back.RemoveFile(1);
  back.AddFile(u"sp", nxbs4k, u"");
  EXPECT_FALSE(back.IsEqual(&files));
  TnxDescriptorClass<SpecialFile>::Unregister();
  load(back, B().Int(3).ListBegin().ListEnd().Int(0).Str("").Int(1).Int(0).b);
  EXPECT_EQ(back.FileCount(), 0);
  expectCode<EnxFilesDescriptorException>([&] { load(back, bytes); }, nxErrUnsupportedDescriptor,
                                          u"FileDescriptor class is not supported: SpecialFile");
  // A class outside the family cannot be built as a file.
  expectCode<EnxFileDescriptorException>(
      [&] { files.AddFile(u"x", nxbs4k, u"", &TnxLocaleDescriptor::staticClassInfo()); },
      nxErrUnsupportedDescriptor);
  EXPECT_EQ(files.FileCount(), 2);
}

TEST_F(DataDictionaryTest, FilesCheckValid) {
  TnxFilesDescriptor files(nullptr);
  expectCode<EnxFilesDescriptorException>([&] { files.CheckValid(false); }, nxErrInvalidRecordStruct,
                                          u"FilesDescriptor requires a minimum of one file");
  files.AddFile(u"", nxbs4k, u"");
  files.AddFile(u"x1", nxbs4k, u"");
  files.CheckValid(true);
  // A stream can carry a duplicate that AddFile would refuse.
  const Bytes dup = B()
                        .Int(3).ListBegin().ListEnd().Int(0).Str("")
                        .Int(1).Int(3)
                        .Str("TnxFileDescriptor").Str("")
                        .Int(3).ListBegin().ListEnd().Int(0).Str("").Int(1).Str("").Int(4096).Int(4).Int(1)
                        .Str("TnxFileDescriptor").Str("x1")
                        .Int(3).ListBegin().ListEnd().Int(0).Str("").Int(1).Str("").Int(4096).Int(4).Int(1)
                        .Str("TnxFileDescriptor").Str("X1")
                        .Int(3).ListBegin().ListEnd().Int(0).Str("").Int(1).Str("").Int(4096).Int(4).Int(1)
                        .b;
  load(files, dup);
  EXPECT_EQ(files.FileCount(), 3);
  expectCode<EnxFilesDescriptorException>([&] { files.CheckValid(false); }, nxErrNameNotUnique,
                                          u"Duplicated file extension: \"X1\"");
  TnxFileDescriptor bad(nullptr, u"1 bad");
  expectCode<EnxFileDescriptorException>([&] { bad.CheckValid(false); }, nxErrInvalidFileExt);
}

TEST_F(DataDictionaryTest, RegistriesAreSeparateFamilies) {
  EXPECT_EQ(TnxDictionaryItem::FindDescriptorClass<TnxFileDescriptor>("tnxfiledescriptor"),
            &TnxFileDescriptor::staticClassInfo());
  EXPECT_EQ(TnxDictionaryItem::FindDescriptorClass<TnxLocaleDescriptor>("TnxFileDescriptor"), nullptr);
  EXPECT_EQ(TnxDictionaryItem::FindDescriptorClass<TnxLocaleDescriptor>("TnxLocaleDescriptor"),
            &TnxLocaleDescriptor::staticClassInfo());
}

// ---------------------------------------------------------------- custom descriptors

TEST_F(DataDictionaryTest, CustomDescriptorName) {
  FakeDictionary dd;
  expectCode<EnxBaseCustomDescriptorException>([&] { TnxBaseCustomDescriptor d(&dd, u""); }, nxErrInvalidName);
  expectCode<EnxBaseCustomDescriptorException>([&] { TnxBaseCustomDescriptor d(&dd, u"a/b"); }, nxErrInvalidName);
  EXPECT_EQ(dd.nextID, 0);  // refused before the item existed
  EXPECT_EQ(dd.ChildCount(), 0);
  TnxBaseCustomDescriptor a(&dd, u"Audit"), b(&dd, u"Audit"), c(&dd, u"audit");
  EXPECT_TRUE(a.IsEqual(&b));
  EXPECT_FALSE(a.IsEqual(&c));
  a.CheckValid(true);
  EXPECT_EQ(save(a, 47005), B().Int(3).ListBegin().ListEnd().Int(1).Str("").b);
}

// ---------------------------------------------------------------- locales

TEST_F(DataDictionaryTest, LocaleDefaultsAndConversions) {
  TnxLocaleDescriptor d(nullptr);
  EXPECT_EQ(d.Locale(), platform::systemDefaultLocale());
  EXPECT_NE(d.Locale(), 2048u);
  d.SetLocale(1024);
  EXPECT_EQ(d.Locale(), platform::userDefaultLocale());
  d.SetLocale(0);
  EXPECT_EQ(d.Locale(), 0u);
  d.SetFlags(0xFFFFFFFFu);
  EXPECT_EQ(d.Flags(), 0x31006u);
  EXPECT_TRUE(d.IgnoreKanaType() && d.IgnoreNonSpace() && d.IgnoreSymbols() && d.IgnoreWidth() && d.UseStringSort());
  d.SetFlags(nxNORM_IGNOREWIDTH | 1);
  EXPECT_EQ(d.Flags(), nxNORM_IGNOREWIDTH);
}

TEST_F(DataDictionaryTest, LocaleCodePages) {
  TnxLocaleDescriptor d(nullptr);
  d.SetLocale(1031);  // German
  EXPECT_EQ(d.CompareCodepage(), 1252);
  EXPECT_EQ(d.StorageCodepage(), 1252);
  d.SetOverrideStorageCodepage(65001);
  EXPECT_EQ(d.StorageCodepage(), 65001);
  EXPECT_EQ(d.CompareCodepage(), 1252);
  d.SetLocale(0);
  d.SetOverrideStorageCodepage(0);
  EXPECT_EQ(d.CompareCodepage(), 0);
  EXPECT_EQ(d.StorageCodepage(), 0);
}

TEST_F(DataDictionaryTest, LocaleComparableAndEqual) {
  TnxLocaleDescriptor a(nullptr), b(nullptr);
  EXPECT_TRUE(a.IsEqual(&b));
  b.SetOverrideStorageCodepage(1252);
  EXPECT_TRUE(a.IsCompareable(&b));
  EXPECT_FALSE(a.IsEqual(&b));
  b.SetIgnoreWidth(true);
  EXPECT_FALSE(a.IsCompareable(&b));
  TnxLocaleDescriptor c(nullptr);
  c.SetLocale(1031);
  EXPECT_FALSE(a.IsCompareable(&c));
}

TEST_F(DataDictionaryTest, LocaleStreamVersionsByClient) {
  TnxLocaleDescriptor d(nullptr);
  d.SetLocale(1031);
  d.SetIgnoreSymbols(true);
  d.SetOverrideStorageCodepage(1250);
  const Bytes item = B().Int(3).ListBegin().ListEnd().Int(0).Str("").b;
  auto body = [](int aVersion) {
    return B().Int(aVersion).Int(1031).Bool(false).Bool(false).Bool(true).Bool(false).Bool(false).Int(1250);
  };
  Bytes v1 = item;
  const Bytes v1body = body(1).b;
  v1.insert(v1.end(), v1body.begin(), v1body.end());
  EXPECT_EQ(save(d, 30899), v1);
  Bytes v2 = item;
  const Bytes v2body = body(2).Bool(false).b;
  v2.insert(v2.end(), v2body.begin(), v2body.end());
  EXPECT_EQ(save(d, 30900), v2);

  // With a build record: the four values after True.
  d.CheckValid(true);
  ASSERT_NE(d.BuildVersionInfo(), nullptr);
  const TNLSVersionInfoEx info = *d.BuildVersionInfo();
  Bytes v2rec = item;
  const Bytes recBody = body(2)
                            .Bool(true)
                            .Int(static_cast<std::int32_t>(info.dwNLSVersion))
                            .Int(static_cast<std::int32_t>(info.dwDefinedVersion))
                            .Int(static_cast<std::int32_t>(info.dwEffectiveId))
                            .Guid(info.guidCustomVersion)
                            .b;
  v2rec.insert(v2rec.end(), recBody.begin(), recBody.end());
  EXPECT_EQ(save(d, 47005), v2rec);
  EXPECT_EQ(save(d, 30899), v1);  // an old client gets no record

  TnxLocaleDescriptor back(nullptr);
  load(back, v2rec);
  EXPECT_EQ(back.Version(), 2);
  EXPECT_TRUE(back.IsEqual(&d));
  ASSERT_NE(back.BuildVersionInfo(), nullptr);
  EXPECT_TRUE(back.CurrentLocaleVersionEqualToBuildVersion());

  expectCode<EnxLocaleDescriptorException>([&] { save(d, 19999); }, nxErrIncompatibleVersion);
}

TEST_F(DataDictionaryTest, LocaleReadRefusalsAndBuildVersion) {
  TnxLocaleDescriptor d(nullptr);
  const Bytes item = B().Int(3).ListBegin().ListEnd().Int(0).Str("").b;
  auto with = [&](const Bytes& aBody) {
    Bytes r = item;
    r.insert(r.end(), aBody.begin(), aBody.end());
    return r;
  };
  auto fields = [](B b, std::int32_t aLocale) {
    return b.Int(aLocale).Bool(false).Bool(false).Bool(false).Bool(false).Bool(false).Int(0);
  };
  expectCode<EnxLocaleDescriptorException>([&] { load(d, with(fields(B().Int(3), 1031).b)); },
                                           nxErrIncompatibleStream, u"Incompatible stream");

  // A record that does not match the present collation version.
  const Bytes stale = with(fields(B().Int(2), 1031).Bool(true).Int(1).Int(2).Int(1031).Guid(platform::Guid{}).b);
  load(d, stale);
  EXPECT_FALSE(d.CurrentLocaleVersionEqualToBuildVersion());
  EXPECT_FALSE(d.CurrentLocaleVersionEqualToBuildVersion());  // the present record is kept
  // Version 1 drops the record.
  load(d, with(fields(B().Int(1), 1031).b));
  EXPECT_EQ(d.Version(), 1);
  EXPECT_EQ(d.BuildVersionInfo(), nullptr);
  EXPECT_TRUE(d.CurrentLocaleVersionEqualToBuildVersion());
  // Locale 0 ignores a record.
  load(d, with(fields(B().Int(2), 0).Bool(true).Int(1).Int(2).Int(3).Guid(platform::Guid{}).b));
  EXPECT_NE(d.BuildVersionInfo(), nullptr);
  EXPECT_TRUE(d.CurrentLocaleVersionEqualToBuildVersion());
  // Building records the present version.
  load(d, stale);
  d.CheckValid(false);
  EXPECT_FALSE(d.CurrentLocaleVersionEqualToBuildVersion());
  d.CheckValid(true);
  EXPECT_TRUE(d.CurrentLocaleVersionEqualToBuildVersion());
}

TEST_F(DataDictionaryTest, ConcurrentFirstVersionChecksAgree) {
  nxtest::Watchdog watchdog;
  TnxLocaleDescriptor d(nullptr);
  d.SetLocale(1031);
  d.CheckValid(true);
  std::atomic<int> equal{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      if (d.CurrentLocaleVersionEqualToBuildVersion()) ++equal;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(equal, 8);
}

TEST_F(DataDictionaryTest, ItemsLeaveRegisterAndParentWhenDestroyed) {
  FakeDictionary dd;
  {
    PlainItem onStack(&dd);
    onStack.SetConstraintName(u"Gone");
  }
  EXPECT_TRUE(dd.names.empty());
  EXPECT_EQ(dd.ChildCount(), 0);
  auto* item = platform::create<PlainItem>(&dd);
  item->SetConstraintName(u"Kept");
  dd.failUnregister = u"Kept";
  EXPECT_THROW(platform::TObject::free(item), EnxDataDictionaryException);
  EXPECT_EQ(dd.ChildCount(), 1);  // still alive and attached
  dd.failUnregister.clear();
  platform::TObject::free(item);
  EXPECT_TRUE(dd.names.empty());
  EXPECT_EQ(dd.ChildCount(), 0);
}

TEST_F(DataDictionaryTest, LocaleCheckValid) {
  TnxLocaleDescriptor d(nullptr);
  d.SetLocale(0x7FFF);
  expectCode<EnxLocaleDescriptorException>([&] { d.CheckValid(false); }, nxErrInvalidLangDriver,
                                           u"Locale not supported/installed: 32767");
  d.SetLocale(1031);
  d.SetOverrideStorageCodepage(12345);
  expectCode<EnxLocaleDescriptorException>([&] { d.CheckValid(false); }, nxErrInvalidLangDriver,
                                           u"Invalid codepage: 12345");
  d.SetOverrideStorageCodepage(1252);
  d.CheckValid(false);
  EXPECT_EQ(d.BuildVersionInfo(), nullptr);
  d.SetLocale(0);
  d.CheckValid(true);
  EXPECT_EQ(d.BuildVersionInfo(), nullptr);
}

TEST_F(DataDictionaryTest, SwitchKeepsOlderLocaleBehaviour) {
  TnxLocaleDescriptor d(nullptr);
  d.SetLocale(1031);
  d.CheckValid(true);
  ASSERT_NE(d.BuildVersionInfo(), nullptr);
  nxDisable30900LocaleFixes = true;
  const Bytes written = save(d, 47005);
  d.CheckValid(true);
  const bool freed = d.BuildVersionInfo() == nullptr;
  nxDisable30900LocaleFixes = false;
  EXPECT_EQ(written, B().Int(3).ListBegin().ListEnd().Int(0).Str("")
                         .Int(1).Int(1031).Bool(false).Bool(false).Bool(false).Bool(false).Bool(false).Int(0).b);
  EXPECT_TRUE(freed);
  EXPECT_TRUE(d.CurrentLocaleVersionEqualToBuildVersion());
}

TEST_F(DataDictionaryTest, InitializeReadsTheSwitch) {
  const nxString none[] = {u"prog", u"-other"};
  nxsdDataDictionaryFinalize();
  nxsdDataDictionaryInitialize(none);
  EXPECT_FALSE(nxDisable30900LocaleFixes);
  nxsdDataDictionaryFinalize();
  const nxString args[] = {u"prog", u"/DISABLE30900localefixes"};
  nxsdDataDictionaryInitialize(args);
  EXPECT_TRUE(nxDisable30900LocaleFixes);
  nxDisable30900LocaleFixes = false;
}

TEST_F(DataDictionaryTest, StartUpTableIsCountedAndStartsTheFilterModules) {
  auto index = [] { return TnxDictionaryItem::FindDescriptorClass<TnxIndexDescriptor>("TnxIndexDescriptor"); };
  auto file = [] { return TnxDictionaryItem::FindDescriptorClass<TnxFileDescriptor>("TnxFileDescriptor"); };
  auto sql = [] { return TnxDictionaryItem::FindDescriptorClass<TnxBaseFilterDescriptor>("TnxSqlFilterDescriptor"); };
  // The fixture's start-up holds the module: another start-up and its
  // finalisation change nothing.
  nxsdDataDictionaryInitialize(std::span<const nxString>());
  nxsdDataDictionaryFinalize();
  EXPECT_NE(file(), nullptr);
  EXPECT_NE(index(), nullptr);
  EXPECT_NE(sql(), nullptr);
  // A filter module started by the table counts its own start-ups too.
  nxsdFilterEngineSQLInitialize();
  nxsdFilterEngineSQLFinalize();
  EXPECT_NE(sql(), nullptr);
  // The last finalisation runs the whole table backward.
  nxsdDataDictionaryFinalize();
  EXPECT_EQ(file(), nullptr);
  EXPECT_EQ(index(), nullptr);
  EXPECT_EQ(sql(), nullptr);
  nxsdDataDictionaryInitialize(std::span<const nxString>());
}

// ---------------------------------------------------------------- localized items

TEST_F(DataDictionaryTest, LocaleInheritedFromNearestEnclosingItem) {
  FakeDictionary dd;
  LocalTable table(&dd);
  PlainItem between(&table);
  LocalTable field(&between);
  EXPECT_EQ(field.UsedLocaleDescriptor(), nullptr);
  EXPECT_EQ(field.UsedStorageCodePage(), 0);

  TnxLocaleDescriptor* tableLocale = table.AddLocaleDescriptor();
  tableLocale->SetLocale(1031);
  EXPECT_EQ(field.UsedLocaleDescriptor(), tableLocale);
  EXPECT_EQ(field.UsedStorageCodePage(), 1252);
  EXPECT_EQ(field.LocaleDescriptor(), nullptr);

  TnxLocaleDescriptor* own = field.AddLocaleDescriptor();
  EXPECT_EQ(field.UsedLocaleDescriptor(), own);
  EXPECT_EQ(field.UsedStorageCodePage(), 932);  // the system default, ja-JP
  field.RemoveLocaleDescriptor();
  EXPECT_EQ(field.UsedLocaleDescriptor(), tableLocale);

  // Cached mode keeps what was used when it started.
  dd.ActivateCache();
  table.RemoveLocaleDescriptor();
  EXPECT_EQ(field.UsedLocaleDescriptor(), tableLocale);
  EXPECT_EQ(field.UsedStorageCodePage(), 1252);
  dd.DeactivateCache();
  EXPECT_EQ(field.UsedLocaleDescriptor(), nullptr);
  EXPECT_EQ(field.UsedStorageCodePage(), 0);
}

TEST_F(DataDictionaryTest, LocalizedItemEqualityComparesOwnLocalesOnly) {
  LocalTable parent(nullptr);
  parent.AddLocaleDescriptor();
  LocalTable a(&parent), b(nullptr);
  EXPECT_TRUE(a.IsEqual(&b));  // inherited locales do not count
  a.AddLocaleDescriptor();
  EXPECT_FALSE(a.IsEqual(&b));
  b.AddLocaleDescriptor()->SetOverrideStorageCodepage(1252);
  EXPECT_FALSE(a.IsEqual(&b));
  a.LocaleDescriptor()->SetOverrideStorageCodepage(1252);
  EXPECT_TRUE(a.IsEqual(&b));
  a.LocaleDescriptor()->SetLocale(0x7FFF);
  expectCode<EnxLocaleDescriptorException>([&] { a.CheckValid(false); }, nxErrInvalidLangDriver);
}

TEST_F(DataDictionaryTest, LocalePartOfAStream) {
  LocalTable item(nullptr);
  auto saveLocale = [](LocalTable& t, std::int32_t aClient) {
    TnxMemoryStream s;
    {
      TnxWriter w(s);
      t.SaveLocaleToWriter(w, aClient);
      w.FlushBuffer();
    }
    return streamOf(s);
  };
  auto loadLocale = [](LocalTable& t, const Bytes& b) {
    TnxMemoryStream s;
    fill(s, b);
    TnxReader r(s);
    t.LoadLocaleFromReader(r);
  };
  EXPECT_EQ(saveLocale(item, 47005), B().Int(1).Bool(false).b);
  TnxLocaleDescriptor* own = item.AddLocaleDescriptor();
  own->SetLocale(1031);
  const Bytes written = saveLocale(item, 47005);
  const Bytes head = B().Int(1).Bool(true).Str("TnxLocaleDescriptor").b;
  EXPECT_EQ(Bytes(written.begin(), written.begin() + static_cast<long>(head.size())), head);

  LocalTable back(nullptr);
  loadLocale(back, written);
  ASSERT_NE(back.LocaleDescriptor(), nullptr);
  EXPECT_EQ(back.LocaleDescriptor()->Locale(), 1031u);
  EXPECT_TRUE(back.IsEqual(&item));
  // False keeps what the item has.
  loadLocale(back, B().Int(1).Bool(false).b);
  EXPECT_NE(back.LocaleDescriptor(), nullptr);

  expectCode<EnxLocaleizedDictionaryItemException>([&] { loadLocale(back, B().Int(2).Bool(false).b); },
                                                   nxErrIncompatibleStream);
  expectCode<EnxLocaleizedDictionaryItemException>(
      [&] { loadLocale(back, B().Int(1).Bool(true).Str("TnxOtherLocale").b); }, nxErrUnsupportedDescriptor,
      u"LocaleDescriptor class is not supported: TnxOtherLocale");

  TnxMemoryStream s;
  {
    TnxWriter w(s);
    expectCode<EnxLocaleizedDictionaryItemException>([&] { item.SaveLocaleToWriter(w, 19999); },
                                                     nxErrIncompatibleVersion);
    w.FlushBuffer();
  }
  EXPECT_EQ(s.Size(), 0);  // refused before anything was written
}

}  // namespace
