// BLOB mappers over two tables of the fake engine: copies into new BLOBs,
// code-page conversion, strings into BLOBs and BLOBs into strings, values
// without content, failed writes and the registrations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nxFakeTables.h"
#include "nxsrFieldMapper.h"
#include "nxsrFieldMapperBlobs.h"

using nxfake::FakeDatabase;
using nxfake::Record;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
Bytes wideBytes(std::u16string_view s) {
  Bytes b(s.size() * 2);
  std::memcpy(b.data(), s.data(), b.size());
  return b;
}

void setCodePage(TnxDataDictionary& aDict, const nxString& aField, std::uint16_t aCodePage) {
  TnxFieldsDescriptor* fields = aDict.FieldsDescriptor();
  fields->Fields(fields->GetFieldFromName(aField))->AddLocaleDescriptor()->SetOverrideStorageCodepage(aCodePage);
}

class BlobMappers : public ::testing::Test {
 protected:
  void SetUp() override {
    nxsrFieldMapperInitialize();
    fake = std::make_unique<FakeDatabase>();
    fake->AddTable(u"src",
                   {{u"Blob", nxtBlob, 0},
                    {u"Memo", nxtBlobMemo, 0},
                    {u"Memo932", nxtBlobMemo, 0},
                    {u"Wide", nxtBlobWideMemo, 0},
                    {u"Graphic", nxtBlobGraphic, 0},
                    {u"Short", nxtShortString, 30},
                    {u"Null", nxtNullString, 30},
                    {u"WideStr", nxtWideString, 30}},
                   [](TnxDataDictionary& d) {
                     setCodePage(d, u"Memo", 1252);
                     setCodePage(d, u"Memo932", 932);
                     setCodePage(d, u"Graphic", 1252);
                     setCodePage(d, u"Short", 1252);
                     setCodePage(d, u"Null", 1252);
                   });
    fake->AddTable(u"dst",
                   {{u"Blob", nxtBlob, 0},
                    {u"Memo", nxtBlobMemo, 0},
                    {u"Memo932", nxtBlobMemo, 0},
                    {u"Wide", nxtBlobWideMemo, 0},
                    {u"Short5", nxtShortString, 5},
                    {u"Short20", nxtShortString, 20},
                    {u"Short255", nxtShortString, 255},
                    {u"Null2", nxtNullString, 2},
                    {u"Null40", nxtNullString, 40},
                    {u"WideStr", nxtWideString, 10}},
                   [](TnxDataDictionary& d) {
                     setCodePage(d, u"Memo", 1252);
                     setCodePage(d, u"Memo932", 932);
                     setCodePage(d, u"Null2", 1252);
                     setCodePage(d, u"Null40", 1252);
                     setCodePage(d, u"Short5", 1252);
                     setCodePage(d, u"Short20", 1252);
                     setCodePage(d, u"Short255", 1252);
                   });
    src = fake->Open(u"src");
    dst = fake->Open(u"dst");
  }
  void TearDown() override {
    fake.reset();
    nxsrFieldMapperFinalize();
  }

  TnxFieldDescriptor& field(TnxFakeCursor* aCursor, const nxString& aName) {
    TnxFieldsDescriptor* fields = aCursor->FieldsDescriptor();
    const std::int32_t n = fields->GetFieldFromName(aName);
    EXPECT_GE(n, 0);
    return *fields->Fields(n);
  }
  TnxBlobNr putBlob(const Bytes& aContent) {
    TnxFakeTable* table = src->Table();
    const TnxBlobNr nr = table->nextBlobNr++;
    table->blobs[nr] = aContent;
    return nr;
  }
  Bytes blobOf(TnxBlobNr aNr) {
    const auto it = dst->Table()->blobs.find(aNr);
    return it == dst->Table()->blobs.end() ? Bytes{} : it->second;
  }

  struct Mapped {
    TnxResult result = -1;
    Bytes target;
    TnxBlobNr blobNr() const {
      TnxBlobNr n = 0;
      std::memcpy(&n, target.data(), sizeof n);
      return n;
    }
  };
  // Maps one source value (the field's bytes) into a target filled with 0xCC.
  Mapped map(const nxString& aSource, const Bytes& aValue, const nxString& aTarget, TnxDataLossAction aAction) {
    TnxOwned<TnxFieldMapperDescriptor> desc(platform::create<TnxFieldMapperDescriptor>(aSource, aTarget, aAction));
    TnxFieldDescriptor& s = field(src, aSource);
    TnxFieldDescriptor& t = field(dst, aTarget);
    TnxMappingMethod method;
    TnxOwned<TnxBaseFieldMapper> mapper(TnxBaseFieldMapper::CreateMapper(s, src, t, dst, desc.get(), method));
    Mapped out;
    if (!method.Assigned()) {
      ADD_FAILURE() << "no mapper for " << platform::toUtf8(aSource) << " -> " << platform::toUtf8(aTarget);
      return out;
    }
    Bytes source(static_cast<std::size_t>(s.fdLength), 0);
    std::memcpy(source.data(), aValue.data(), std::min(aValue.size(), source.size()));
    out.target.assign(static_cast<std::size_t>(t.fdLength), 0xCC);
    out.result = method(source.data(), out.target.data());
    return out;
  }
  Mapped mapBlob(const nxString& aSource, const Bytes& aContent, const nxString& aTarget, TnxDataLossAction aAction) {
    const TnxBlobNr nr = putBlob(aContent);
    Bytes value(8);
    std::memcpy(value.data(), &nr, 8);
    return map(aSource, value, aTarget, aAction);
  }
  static Bytes shortValue(const std::string& s) {
    Bytes b{static_cast<std::uint8_t>(s.size())};
    b.insert(b.end(), s.begin(), s.end());
    return b;
  }
  static std::string shortText(const Bytes& b) { return std::string(b.begin() + 1, b.begin() + 1 + b[0]); }
  static std::string nullText(const Bytes& b) { return std::string(reinterpret_cast<const char*>(b.data())); }

  std::unique_ptr<FakeDatabase> fake;
  TnxFakeCursor* src = nullptr;
  TnxFakeCursor* dst = nullptr;
};

TEST_F(BlobMappers, AMemoInTheSameCodePageGetsANewBlobOfItsOwn) {
  const Mapped m = mapBlob(u"Memo", bytes("some text"), u"Memo", dlaFail);
  EXPECT_EQ(m.result, 0);
  ASSERT_NE(m.blobNr(), 0);
  EXPECT_EQ(blobOf(m.blobNr()), bytes("some text"));
  // The copy lives in the target table: changing the source leaves it.
  src->Table()->blobs.begin()->second = bytes("changed");
  EXPECT_EQ(blobOf(m.blobNr()), bytes("some text"));
  // Raw BLOB types copy as they are, whatever the code pages.
  const Mapped g = mapBlob(u"Graphic", Bytes{0, 1, 2, 0xFF}, u"Memo932", dlaFail);
  EXPECT_EQ(blobOf(g.blobNr()), (Bytes{0, 1, 2, 0xFF}));
}

TEST_F(BlobMappers, MemosChangeCodePagesAndWidth) {
  // "2×3": × is 0xD7 in 1252 and 0x81 0x7E in 932.
  const Mapped to932 = mapBlob(u"Memo", bytes("2\xD7" "3"), u"Memo932", dlaFail);
  EXPECT_EQ(to932.result, 0);
  EXPECT_EQ(blobOf(to932.blobNr()), bytes("2\x81\x7E" "3"));
  const Mapped toWide = mapBlob(u"Memo932", bytes("\x82\xA0!"), u"Wide", dlaFail);
  EXPECT_EQ(blobOf(toWide.blobNr()), wideBytes(u"あ!"));
  const Mapped fromWide = mapBlob(u"Wide", wideBytes(u"a×"), u"Memo932", dlaFail);
  EXPECT_EQ(blobOf(fromWide.blobNr()), bytes("a\x81\x7E"));
}

TEST_F(BlobMappers, StringsBecomeNewBlobs) {
  const Mapped raw = map(u"Short", shortValue("abc\xD7"), u"Blob", dlaFail);
  EXPECT_EQ(blobOf(raw.blobNr()), bytes("abc\xD7"));
  const Mapped memo = map(u"Null", bytes("x\xD7y"), u"Memo932", dlaFail);
  EXPECT_EQ(blobOf(memo.blobNr()), bytes("x\x81\x7Ey"));
  const Mapped wide = map(u"Null", bytes("x\xD7"), u"Wide", dlaFail);
  EXPECT_EQ(blobOf(wide.blobNr()), wideBytes(u"x×"));
  const Mapped fromWide = map(u"WideStr", wideBytes(u"q×"), u"Memo932", dlaFail);
  EXPECT_EQ(blobOf(fromWide.blobNr()), bytes("q\x81\x7E"));
  const Mapped wideRaw = map(u"WideStr", wideBytes(u"ok"), u"Blob", dlaFail);
  EXPECT_EQ(blobOf(wideRaw.blobNr()), wideBytes(u"ok"));
}

TEST_F(BlobMappers, AnEmptyStringCreatesNoBlob) {
  const std::size_t before = dst->Table()->blobs.size();
  const Mapped checking = map(u"Null", Bytes{0}, u"Memo", dlaFail);
  EXPECT_EQ(checking.result, nxErrInvalidFieldXform);
  EXPECT_EQ(checking.blobNr(), 0);
  const Mapped best = map(u"Null", Bytes{0}, u"Memo", dlaBestFit);
  EXPECT_EQ(best.result, nxMapNoValue);
  EXPECT_EQ(best.blobNr(), 0);
  EXPECT_EQ(dst->Table()->blobs.size(), before);

  // Through the engine, best fit leaves the target NULL (no default here).
  TnxOwned<TnxFieldMapperDescriptor> desc(platform::create<TnxFieldMapperDescriptor>(u"Null", u"Memo", dlaBestFit));
  TnxOwned<TnxBaseFieldMapperEngine> engine(TnxBaseFieldMapperEngine::CreateFor(desc.get(), src, dst));
  Record source(src, {{u"Null", platform::Variant(nxString())}});
  Record target(dst);
  EXPECT_EQ(engine->MapField(source.data(), target.data()), 0);
  EXPECT_TRUE(target.IsNull(u"Memo"));
  EXPECT_EQ(dst->Table()->blobs.size(), before);
}

TEST_F(BlobMappers, BlobNumberZeroTouchesNoCursor) {
  for (const auto& [from, to] : {std::pair<nxString, nxString>{u"Memo", u"Memo"}, {u"Memo", u"Memo932"},
                                 {u"Memo", u"Short20"}, {u"Wide", u"WideStr"}, {u"Blob", u"Null40"}}) {
    for (TnxDataLossAction action : {dlaFail, dlaBestFit}) {
      SCOPED_TRACE(platform::toUtf8(from + u" -> " + to));
      const Mapped m = map(from, Bytes(8, 0), to, action);
      EXPECT_EQ(m.result, action == dlaBestFit ? nxMapNoValue : nxErrInvalidFieldXform);
    }
  }
  EXPECT_EQ(src->Table()->blobCalls, 0);
  EXPECT_EQ(dst->Table()->blobCalls, 0);
}

TEST_F(BlobMappers, AFailedWriteLeavesNoBlobBehind) {
  dst->Table()->failBlobWrite = 9999;
  const std::size_t before = dst->Table()->blobs.size();
  const Mapped m = map(u"Null", bytes("hello"), u"Memo", dlaFail);
  EXPECT_EQ(m.result, 9999);
  EXPECT_EQ(m.blobNr(), 0);
  EXPECT_EQ(dst->Table()->blobs.size(), before);
  const Mapped converted = mapBlob(u"Memo", bytes("x\xD7"), u"Memo932", dlaFail);
  EXPECT_EQ(converted.result, 9999);
  EXPECT_EQ(dst->Table()->blobs.size(), before);
}

TEST_F(BlobMappers, BlobsIntoShortStringsNeverLoseTextSilently) {
  std::string text(300, ' ');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  const Mapped best20 = mapBlob(u"Memo", bytes(text), u"Short20", dlaBestFit);
  EXPECT_EQ(best20.result, 0);
  EXPECT_EQ(shortText(best20.target), text.substr(0, 20));
  EXPECT_EQ(mapBlob(u"Memo", bytes(text), u"Short20", dlaFail).result, nxErrInvalidFieldXform);
  // 255 units hold 255 of the 300 characters: checking refuses, best fit cuts.
  EXPECT_EQ(mapBlob(u"Memo", bytes(text), u"Short255", dlaFail).result, nxErrInvalidFieldXform);
  const Mapped best255 = mapBlob(u"Memo", bytes(text), u"Short255", dlaBestFit);
  EXPECT_EQ(best255.result, 0);
  EXPECT_EQ(shortText(best255.target), text.substr(0, 255));
  // Exactly 255 characters fit under checking.
  const Mapped exact = mapBlob(u"Memo", bytes(text.substr(0, 255)), u"Short255", dlaFail);
  EXPECT_EQ(exact.result, 0);
  EXPECT_EQ(shortText(exact.target), text.substr(0, 255));
  EXPECT_EQ(mapBlob(u"Memo", bytes("0123456789"), u"Short5", dlaFail).result, nxErrInvalidFieldXform);
}

TEST_F(BlobMappers, BlobsIntoNullAndWideStrings) {
  const Mapped zero = mapBlob(u"Memo", bytes(std::string("0123456789\0tail", 15)), u"Null40", dlaFail);
  EXPECT_EQ(zero.result, 0);
  EXPECT_EQ(nullText(zero.target), "0123456789");
  const Mapped best = mapBlob(u"Wide", wideBytes(u"abc"), u"Null2", dlaBestFit);
  EXPECT_EQ(best.result, 0);
  EXPECT_EQ(nullText(best.target), "ab");
  EXPECT_EQ(mapBlob(u"Wide", wideBytes(u"abc"), u"Null2", dlaFail).result, nxErrInvalidFieldXform);
  // A Graphic is read as 8-bit text in its own code page.
  const Mapped graphic = mapBlob(u"Graphic", bytes("\xD7!"), u"WideStr", dlaFail);
  EXPECT_EQ(graphic.result, 0);
  EXPECT_EQ(Bytes(graphic.target.begin(), graphic.target.begin() + 6), wideBytes(std::u16string(u"×!\0", 3)));
  // A long text into a short WideString: cut or refused, never written past it.
  const Mapped cut = mapBlob(u"Wide", wideBytes(std::u16string(5000, u'w')), u"WideStr", dlaBestFit);
  EXPECT_EQ(cut.result, 0);
  EXPECT_EQ(Bytes(cut.target.begin(), cut.target.begin() + 22), wideBytes(std::u16string(10, u'w') + u'\0'));
  EXPECT_EQ(mapBlob(u"Wide", wideBytes(std::u16string(5000, u'w')), u"WideStr", dlaFail).result,
            nxErrInvalidFieldXform);
  EXPECT_EQ(mapBlob(u"Blob", Bytes(70000, 'b'), u"Null40", dlaFail).result, nxErrInvalidFieldXform);
}

TEST_F(BlobMappers, TheMatrixHoldsEveryRegistration) {
  std::size_t registrations = 0;
  for (int s = 0; s < nxFieldTypeCount; ++s)
    for (int t = 0; t < nxFieldTypeCount; ++t)
      registrations += nxFieldMapperCell(static_cast<TnxFieldType>(s), static_cast<TnxFieldType>(t)).size();
  EXPECT_EQ(registrations, 539u);
  EXPECT_EQ(std::string(nxFieldMapperCell(nxtBlobMemo, nxtBlobMemo)[0]->name), "TnxBlobMemoToBlobMemoMapper");
  EXPECT_EQ(std::string(nxFieldMapperCell(nxtBlobGraphic, nxtShortString)[0]->name), "TnxBlobToShortStringMapper");
  EXPECT_TRUE(nxFieldMapperCell(nxtBlobMemo, nxtInt32).empty());
  // Without cursors the BLOB mappers hand out nothing.
  TnxMappingMethod method;
  TnxOwned<TnxBaseFieldMapper> mapper(
      TnxBaseFieldMapper::CreateMapper(field(src, u"Memo"), nullptr, field(dst, u"Memo"), nullptr, nullptr, method));
  EXPECT_FALSE(method.Assigned());
}

}  // namespace
