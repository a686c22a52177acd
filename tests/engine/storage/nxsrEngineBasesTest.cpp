// File BLOB reading of the BLOB base, engines found by descriptor class, the
// sort engine base.
#include <gtest/gtest.h>

#include "nxsdDataDictionaryRefInt.h"
#include "nxsrEngineBases.h"
#include "nxseTableTestSupport.h"

namespace {

using namespace nxtest;

// Only the file-BLOB services of the base are exercised.
class FileBlobEngine : public TnxBaseBlobEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseBlobEngine::TnxBaseBlobEngine;
  void AddBlob(TnxBaseTransaction*, TnxBlobNr&) override {}
  void AddBlobLink(TnxBaseTransaction*, const nxString&, TnxBlobNr, TnxBlobNr&) override {}
  void AddFileBlob(TnxBaseTransaction*, const nxString&, TnxBlobNr&) override {}
  void DeleteBlob(TnxBaseTransaction*, TnxBlobNr) override {}
  bool FreeBlob(TnxBaseTransaction*, TnxBlobNr) override { return false; }
  std::uint32_t GetBlobLength(TnxBaseTransaction*, TnxBlobNr, const TnxBlobLinkGetLength&, std::uint32_t&) override {
    return 0;
  }
  bool IsFileBlob(TnxBaseTransaction*, TnxBlobNr, nxString&) override { return false; }
  bool IsBlobLink(TnxBaseTransaction*, TnxBlobNr, nxString&, TnxBlobNr&) override { return false; }
  std::uint32_t Read(TnxBaseTransaction*, TnxBlobNr, std::uint32_t, std::uint32_t, const TnxBlobLinkRead&,
                     TStream&) override {
    return 0;
  }
  void Truncate(TnxBaseTransaction*, TnxBlobNr, std::uint32_t) override {}
  void Write(TnxBaseTransaction*, TnxBlobNr, std::uint32_t, std::uint32_t, const void*) override {}
};
PL_CLASS_INFO_IMPL_TABLE(FileBlobEngine, TnxBaseBlobEngine, "FileBlobEngine", nullptr,
                         platform::bindClassTable(nxSubEngineFuncs<FileBlobEngine>))

// Found for TnxRefIntegrityDescriptor by its class name.
class TestRefIntegrityEngine : public TnxBaseRefIntegrityEngine {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseRefIntegrityEngine::TnxBaseRefIntegrityEngine;
  TnxResult Notify(TnxEngineAction, bool, TnxFormatArgs) override { return 0; }
};
PL_CLASS_INFO_IMPL_TABLE(TestRefIntegrityEngine, TnxBaseRefIntegrityEngine, "TestRefIntegrityEngine", nullptr,
                         platform::bindClassTable(nxRefIntegrityEngineFuncs<TestRefIntegrityEngine>))

using EngineBasesTest = TableTest;

TEST_F(EngineBasesTest, FileBlobsAreReadRelativeToTheBlobFile) {
  TnxBaseSubEngine::RegisterSubEngine(FileBlobEngine::staticClassInfo(), "TestFileBlob");
  TnxServerDataDict* dict = newDictionary(8);
  dict->AddBlobDescriptor()->SetBlobEngine(u"TestFileBlob");
  Table& t = createTable(dict);
  fs_.putFile("/db/picture.bin", std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  TnxOwned<FileBlobEngine> blobs(
      platform::create<FileBlobEngine>(t.dict->BlobDescriptor(), nullptr, TnxBlockAccessArray{t.main.get()}));
  TnxOwned<TnxMemoryStream> out(platform::create<TnxMemoryStream>());
  EXPECT_EQ(blobs->ReadFileBlob(u"picture.bin", 3, 4, *out), 0);
  ASSERT_EQ(out->Size(), 4);
  EXPECT_EQ(static_cast<const std::uint8_t*>(out->Memory())[0], 4);
  EXPECT_EQ(blobs->ReadFileBlob(u"picture.bin", 8, 100, *out), 0);  // up to the end
  EXPECT_EQ(out->Size(), 6);
  std::uint32_t length = 0;
  EXPECT_EQ(blobs->GetFileBlobLength(u"/db/picture.bin", length), 0);
  EXPECT_EQ(length, 10u);
  EXPECT_EQ(blobs->GetFileBlobLength(u"missing.bin", length), 15440);
  blobs.reset();
  TnxBaseSubEngine::UnregisterSubEngine(FileBlobEngine::staticClassInfo());
}

TEST_F(EngineBasesTest, RefIntegrityEnginesAreFoundByDescriptorClass) {
  EXPECT_EQ(TnxBaseRefIntegrityEngine::CreateFor(nullptr, nullptr), nullptr);
  TnxOwned<TnxServerDataDict> dict(newDictionary());
  TnxOwned<TnxRefIntegrityDescriptor> descriptor(platform::create<TnxRefIntegrityDescriptor>(dict.get(), u"ri"));
  expectFailsWith(15503, "Unknown RefIntegrity engine: \"TnxRefIntegrityEngine\"",
                  [&] { TnxBaseRefIntegrityEngine::CreateFor(descriptor.get(), nullptr); });
  TnxEngineClass<TnxBaseRefIntegrityEngine>::Register();
  nxRegisterClassIn(TnxBaseRefIntegrityEngine::GetList(), TestRefIntegrityEngine::staticClassInfo(),
                    "TnxRefIntegrityEngine");
  TnxOwned<TnxBaseRefIntegrityEngine> engine(TnxBaseRefIntegrityEngine::CreateFor(descriptor.get(), nullptr));
  EXPECT_NE(platform::objectAs<TestRefIntegrityEngine>(engine.get()), nullptr);
  EXPECT_EQ(engine->brieDescriptor, descriptor.get());
  nxUnregisterClassIn(TnxBaseRefIntegrityEngine::GetList(), TestRefIntegrityEngine::staticClassInfo());
  TnxEngineClass<TnxBaseRefIntegrityEngine>::Unregister();
  EXPECT_EQ(TnxBaseFulltextCursorEngine::CreateFor(nullptr, nullptr), nullptr);
  nxsrEngineBasesFinalize();
}

}  // namespace
