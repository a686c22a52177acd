// Mapper descriptor bases: the table mapping tree, its stream, Duplicate and
// CreateFromReader, with a small record mapping class of the test's own.
#include <gtest/gtest.h>

#include "nxllBde.h"
#include "nxllUtils.h"
#include "nxsdQuestionBank.h"
#include "nxsdTableMapperDescriptorBase.h"
#include "nxsdTestSupport.h"

namespace {

using namespace nxsdtest;

// A record mapping with one value of its own after the base part.
class TnxFakeRecordMapperDescriptor : public TnxBaseRecordMapperDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  nxString note;
  void InternalWriteToWriter(TnxWriter& aWriter, std::int32_t aClientVersion) override {
    TnxBaseRecordMapperDescriptor::InternalWriteToWriter(aWriter, aClientVersion);
    aWriter.WriteString(note);
  }
  void InternalLoadFromReader(TnxReader& aReader) override {
    TnxBaseRecordMapperDescriptor::InternalLoadFromReader(aReader);
    note = aReader.ReadString();
  }
};

class TnxOtherTableMapperDescriptor : public TnxBaseTableMapperDescriptor {
  PL_CLASS_INFO_DECL()
};

}  // namespace

PL_CLASS_INFO_IMPL_TABLE(TnxFakeRecordMapperDescriptor, TnxBaseRecordMapperDescriptor, "TnxFakeRecordMapperDescriptor",
                         nullptr, platform::bindClassTable(nxRecordMapperDescriptorFuncs<TnxFakeRecordMapperDescriptor>))
PL_CLASS_INFO_IMPL_TABLE(TnxOtherTableMapperDescriptor, TnxBaseTableMapperDescriptor, "TnxOtherTableMapperDescriptor",
                         nullptr, platform::bindClassTable(nxTableMapperDescriptorFuncs<TnxOtherTableMapperDescriptor>))

namespace {

struct MapperFree {
  void operator()(TnxBaseTableMapperDescriptor* m) const { platform::TObject::free(m); }
};
using MapperPtr = std::unique_ptr<TnxBaseTableMapperDescriptor, MapperFree>;

class MapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    TnxDescriptorClass<TnxFakeRecordMapperDescriptor>::Register();
    TnxDescriptorClass<TnxOtherTableMapperDescriptor>::Register();
  }
  void TearDown() override {
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
  }

  static Bytes write(TnxBaseTableMapperDescriptor& m, bool aWithClass) {
    TnxMemoryStream s;
    {
      TnxWriter w(s);
      if (aWithClass)
        m.WriteToWriter(w, 47501);
      else
        m.InternalWriteToWriter(w, 47501);
      w.FlushBuffer();
    }
    return bytesOf(s);
  }
  static MapperPtr read(const Bytes& b) {
    TnxMemoryStream s;
    s.WriteBuffer(b.data(), static_cast<std::int32_t>(b.size()));
    s.SetPosition(0);
    TnxReader r(s);
    return MapperPtr(TnxBaseTableMapperDescriptor::CreateFromReader(r));
  }

  // root "." -> T1 (other class, record mapping) -> T1:A; root -> T2.
  static MapperPtr tree() {
    MapperPtr root(platform::create<TnxBaseTableMapperDescriptor>());
    root->SetMapTo(u"target");
    TnxBaseTableMapperDescriptor* t1 = root->AddTable(u"T1", &TnxOtherTableMapperDescriptor::staticClassInfo());
    t1->SetMapTo(u"..:U1");
    static_cast<TnxFakeRecordMapperDescriptor*>(t1->AddRecordMapper(TnxFakeRecordMapperDescriptor::staticClassInfo()))
        ->note = u"fields";
    t1->AddTable(u"A")->SetMapTo(u"");
    root->AddTable(u"T2");
    return root;
  }

  static void expectSameTree(const TnxBaseTableMapperDescriptor& a, const TnxBaseTableMapperDescriptor& b,
                             const TnxBaseTableMapperDescriptor* aParent) {
    EXPECT_EQ(&a.classInfo(), &b.classInfo());
    EXPECT_EQ(a.Name(), b.Name());
    EXPECT_EQ(a.MapTo(), b.MapTo());
    EXPECT_EQ(b.Parent(), aParent);
    ASSERT_EQ(a.RecordMapper() == nullptr, b.RecordMapper() == nullptr);
    if (a.RecordMapper()) {
      EXPECT_NE(a.RecordMapper(), b.RecordMapper());
      EXPECT_EQ(static_cast<TnxFakeRecordMapperDescriptor*>(a.RecordMapper())->note,
                static_cast<TnxFakeRecordMapperDescriptor*>(b.RecordMapper())->note);
    }
    ASSERT_EQ(a.TableCount(), b.TableCount());
    for (std::int32_t i = 0; i < a.TableCount(); ++i) expectSameTree(*a.Tables(i), *b.Tables(i), &b);
  }
};

TEST_F(MapperTest, ANewMappingStreamsAndReadsBack) {
  MapperPtr m(platform::create<TnxBaseTableMapperDescriptor>());
  EXPECT_EQ(write(*m, false), B().Int(1).Str(".").Str(".").Bool(false).Int(0).b);
  const Bytes full = write(*m, true);
  EXPECT_EQ(full, B().Ident("TnxBaseTableMapperDescriptor").Int(1).Str(".").Str(".").Bool(false).Int(0).b);
  MapperPtr back = read(full);
  expectSameTree(*m, *back, nullptr);
}

TEST_F(MapperTest, DuplicateAndStreamKeepTheTree) {
  MapperPtr root = tree();
  MapperPtr copy(root->Duplicate());
  expectSameTree(*root, *copy, nullptr);
  MapperPtr back = read(write(*root, true));
  expectSameTree(*root, *back, nullptr);
  MapperPtr sub(root->Tables(0)->Duplicate());
  EXPECT_EQ(sub->Parent(), nullptr);
  EXPECT_EQ(&sub->classInfo(), &TnxOtherTableMapperDescriptor::staticClassInfo());
}

TEST_F(MapperTest, NestedMappingsByName) {
  MapperPtr root = tree();
  expectCode<EnxBaseTableMapperDescriptorException>([&] { root->AddTable(u"t1"); }, nxErrNameNotUnique,
                                                    u"Duplicated table name: t1");
  EXPECT_EQ(root->GetTableIndexFromName(u"t2"), 1);
  EXPECT_EQ(root->GetTableIndexFromName(u"T3"), -1);
  expectCode<EnxBaseTableMapperDescriptorException>([&] { root->GetTableDescriptorFromName(u"T3"); },
                                                    nxErrNoSuchTable);
  root->RemoveTable(u"T1");
  root->RemoveTable(7);
  ASSERT_EQ(root->TableCount(), 1);
  EXPECT_EQ(root->Tables(0)->Name(), u"T2");
  root->AddRecordMapper(TnxBaseRecordMapperDescriptor::staticClassInfo());
  root->Clear();
  EXPECT_EQ(root->TableCount(), 0);
  EXPECT_EQ(root->RecordMapper(), nullptr);
  expectCode<EnxBaseRecordMapperDescriptorException>(
      [&] { root->AddRecordMapper(TnxBaseTableMapperDescriptor::staticClassInfo()); }, nxErrUnsupportedDescriptor);
}

TEST_F(MapperTest, BadStreams) {
  const Bytes good = write(*tree(), true);
  const auto readWith = [&](const std::string& aFrom, const std::string& aTo) {
    Bytes b = good;
    const auto it = std::search(b.begin(), b.end(), aFrom.begin(), aFrom.end());
    ASSERT_NE(it, b.end());
    std::copy(aTo.begin(), aTo.end(), it);
    read(b);
  };
  expectCode<EnxBaseTableMapperDescriptorException>(
      [&] { readWith("TnxOtherTableMapper", "TnxOtherTableMappeX"); }, nxErrUnsupportedDescriptor,
      u"TableMapperDescriptor class is not supported: TnxOtherTableMappeXDescriptor");
  expectCode<EnxBaseRecordMapperDescriptorException>(
      [&] { readWith("TnxFakeRecordMapper", "TnxFakeRecordMappeX"); }, nxErrUnsupportedDescriptor,
      u"RecordMapperDescriptor class is not supported: TnxFakeRecordMappeXDescriptor");
  // A class registered in the other family is not a table mapping.
  expectCode<EnxBaseTableMapperDescriptorException>(
      [&] { read(B().Ident("TnxFakeRecordMapperDescriptor").Int(1).b); }, nxErrUnsupportedDescriptor);

  const auto head = [] { return B().Ident("TnxBaseTableMapperDescriptor"); };
  expectCode<EnxBaseTableMapperDescriptorException>([&] { read(head().Int(2).b); }, nxErrIncompatibleStream);
  expectCode<EnxBaseTableMapperDescriptorException>(
      [&] { read(head().Int(1).Str(".").Str(".").Bool(false).Int(-1).b); }, nxErrIncompatibleStream);
  expectCode<EnxBaseRecordMapperDescriptorException>(
      [&] {
        read(head().Int(1).Str(".").Str(".").Bool(true).Ident("TnxFakeRecordMapperDescriptor").Int(2).Str("").Int(0).b);
      },
      nxErrIncompatibleStream);
  // A count beyond the stream ends with the stream, nothing kept.
  EXPECT_ANY_THROW(read(head().Int(1).Str(".").Str(".").Bool(false).Int(0x7FFFFFFF).b));
  // Cut anywhere: a clear failure.
  for (std::size_t n = 0; n < good.size(); ++n)
    EXPECT_ANY_THROW(read(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)))) << n;
}

}  // namespace
