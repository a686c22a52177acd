#include "nxsdTypes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "nxllException.h"
#include "plErrors.h"
#include "nxTestWatchdog.h"

namespace {

struct TypeRow {
  TnxFieldType type;
  std::u16string_view name, display, ident, sql, sqlVarying;
  int fixedLength;  // 0: depends on units
};

// Values as the field-type table gives them.
const TypeRow kTypes[] = {
    {nxtBoolean, u"nxtBoolean", u"Boolean", u"nxtBoolean", u"BOOLEAN", u"BOOLEAN", 1},
    {nxtChar, u"nxtChar", u"Char", u"nxtChar", u"SINGLECHAR", u"SINGLECHAR", 1},
    {nxtWideChar, u"nxtWideChar", u"Wide Char", u"nxtWideChar", u"NSINGLECHAR", u"NSINGLECHAR", 2},
    {nxtByte, u"nxtByte", u"Byte", u"nxtByte", u"BYTE", u"BYTE", 1},
    {nxtWord16, u"nxtWord16", u"Word16", u"nxtWord16", u"WORD", u"WORD", 2},
    {nxtWord32, u"nxtWord32", u"Word32", u"nxtWord32", u"DWORD", u"DWORD", 4},
    {nxtInt8, u"nxtInt8", u"Int8", u"nxtInt8", u"SHORTINT", u"SHORTINT", 1},
    {nxtInt16, u"nxtInt16", u"Int16", u"nxtInt16", u"SMALLINT", u"SMALLINT", 2},
    {nxtInt32, u"nxtInt32", u"Int32", u"nxtInt32", u"INTEGER", u"INTEGER", 4},
    {nxtInt64, u"nxtInt64", u"Int64", u"nxtInt64", u"BIGINT", u"BIGINT", 8},
    {nxtAutoInc, u"nxtAutoInc", u"AutoInc", u"nxtAutoInc", u"AUTOINC", u"AUTOINC", 4},
    {nxtSingle, u"nxtSingle", u"Single", u"nxtSingle", u"FLOAT", u"FLOAT", 4},
    {nxtDouble, u"nxtDouble", u"Double", u"nxtDouble", u"DOUBLE PRECISION", u"DOUBLE PRECISION", 8},
    {nxtExtended, u"nxtExtended", u"Extended", u"nxtExtended", u"EXTENDED", u"EXTENDED", 10},
    {nxtCurrency, u"nxtCurrency", u"Currency", u"nxtCurrency", u"MONEY", u"MONEY", 8},
    {nxtDate, u"nxtDate", u"Date", u"nxtDate", u"DATE", u"DATE", 4},
    {nxtTime, u"nxtTime", u"Time", u"nxtTime", u"TIME", u"TIME", 4},
    {nxtDateTime, u"nxtDateTime", u"DateTime", u"nxtDateTime", u"TIMESTAMP", u"TIMESTAMP", 8},
    {nxtInterval, u"nxtInterval", u"Interval", u"nxtInterval", u"", u"", 8},
    {nxtBlob, u"nxtBlob", u"BLOB", u"nxtBLOB", u"BINARY LARGE OBJECT", u"BINARY LARGE OBJECT", 8},
    {nxtBlobMemo, u"nxtBlobMemo", u"BLOB Memo", u"nxtBLOBMemo", u"CHARACTER LARGE OBJECT",
     u"CHARACTER LARGE OBJECT", 8},
    {nxtBlobGraphic, u"nxtBlobGraphic", u"BLOB Graphic", u"nxtBLOBGraphic", u"IMAGE", u"IMAGE", 8},
    {nxtByteArray, u"nxtByteArray", u"Byte Array", u"nxtByteArray", u"BYTEARRAY", u"BYTEARRAY", 0},
    {nxtShortString, u"nxtShortString", u"ShortString", u"nxtShortString", u"SHORTSTRING", u"SHORTSTRING", 0},
    {nxtNullString, u"nxtNullString", u"NullString", u"nxtNullString", u"CHARACTER", u"CHARACTER VARYING", 0},
    {nxtWideString, u"nxtWideString", u"WideString", u"nxtWideString", u"NATIONAL CHARACTER",
     u"NATIONAL CHARACTER VARYING", 0},
    {nxtRecRev, u"nxtRecRev", u"RecRev", u"nxtRecRev", u"RECREV", u"RECREV", 4},
    {nxtGuid, u"nxtGuid", u"GUID", u"nxtGUID", u"GUID", u"GUID", 16},
    {nxtBCD, u"nxtBCD", u"BCD", u"nxtBCD", u"DECIMAL", u"DECIMAL", 8},
    {nxtBlobWideMemo, u"nxtBlobWideMemo", u"BLOB Wide Memo", u"nxtBLOBWideMemo",
     u"NATIONAL CHARACTER LARGE OBJECT", u"NATIONAL CHARACTER LARGE OBJECT", 8},
    {nxtFmtBCD, u"nxtFmtBCD", u"Formatted BCD", u"nxtFmtBCD", u"DECIMAL", u"DECIMAL", 0},
    {nxtRefNr, u"nxtRefNr", u"RefNr", u"nxtRefNr", u"REFNR", u"REFNR", 8},
};
static_assert(std::size(kTypes) == nxFieldTypeCount);

TEST(nxsdTypes, FieldTypeTable) {
  for (int i = 0; i < nxFieldTypeCount; ++i) {
    const TypeRow& r = kTypes[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(r.type, i);
    EXPECT_EQ(nxFieldTypeNames[i], r.name);
    EXPECT_EQ(nxFieldTypeDisplayNames[i], r.display);
    EXPECT_EQ(nxFieldTypeSqlNames[i][0], r.ident);
    EXPECT_EQ(nxFieldTypeSqlNames[i][1], r.sql);
    EXPECT_EQ(nxFieldTypeSqlNames[i][2], r.sqlVarying);
    EXPECT_EQ(nxFieldTypeFixedLength[i], r.fixedLength);
    if (r.fixedLength) {
      EXPECT_EQ(nxFieldTypeStorageLength(r.type, 123), r.fixedLength);
    }
  }
  EXPECT_EQ(nxFieldTypeStorageLength(nxtByteArray, 7), 7);
  EXPECT_EQ(nxFieldTypeStorageLength(nxtShortString, 7), 8);
  EXPECT_EQ(nxFieldTypeStorageLength(nxtNullString, 7), 8);
  EXPECT_EQ(nxFieldTypeStorageLength(nxtWideString, 7), 16);
  EXPECT_EQ(nxFieldTypeStorageLength(nxtFmtBCD, 7), 6);
}

TEST(nxsdTypes, TypeSets) {
  EXPECT_EQ(nxBlobFieldTypes, (1u << 19) | (1u << 20) | (1u << 21) | (1u << 29));
  EXPECT_EQ(nxStringFieldTypes, (1u << 23) | (1u << 24) | (1u << 25));
  EXPECT_TRUE(nxFieldTypeIn(nxtRefNr, nxFieldTypeBit(nxtRefNr)));
  EXPECT_FALSE(nxFieldTypeIn(static_cast<TnxFieldType>(40), ~TnxFieldTypes{0}));
}

TEST(nxsdTypes, SetupNormalisesUnitsAndDecimals) {
  struct Case {
    TnxFieldType type;
    int units, decimals;
    bool required;
    int wantUnits, wantDecimals;
    bool wantRequired;
    int wantLength;
  };
  const Case cases[] = {
      {nxtInt32, 0, 0, true, 10, 0, true, 4},
      {nxtInt32, 7, 3, false, 7, 0, false, 4},
      {nxtInt32, 11, 0, false, 10, 0, false, 4},
      {nxtByte, 4, 0, false, 3, 0, false, 1},
      {nxtWord16, -1, 0, false, 5, 0, false, 2},
      {nxtInt64, 20, 0, false, 20, 0, false, 8},
      {nxtInt64, 21, 0, false, 20, 0, false, 8},
      {nxtBoolean, 5, 5, true, 0, 0, true, 1},
      {nxtChar, 9, 2, false, 1, 0, false, 1},
      {nxtWideChar, 9, 2, false, 1, 0, false, 2},
      {nxtAutoInc, 3, 1, true, 10, 0, false, 4},
      {nxtRecRev, 3, 1, true, 10, 0, false, 4},
      {nxtRefNr, 3, 1, true, 20, 0, false, 8},
      {nxtDouble, 17, 9, true, 17, 9, true, 8},
      {nxtExtended, -3, -4, false, -3, -4, false, 10},
      {nxtCurrency, 0, 6, false, 20, 4, false, 8},
      {nxtCurrency, 2, 4, false, 5, 4, false, 8},
      {nxtCurrency, 21, 4, false, 20, 4, false, 8},
      {nxtBCD, 10, -1, false, 10, 4, false, 8},
      {nxtBCD, 19, 2, false, 18, 2, false, 8},
      {nxtDateTime, 8, 2, false, 0, 0, false, 8},
      {nxtBlobMemo, 8, 2, false, 0, 0, false, 8},
      {nxtGuid, 8, 2, false, 0, 0, false, 16},
      {nxtFmtBCD, 10, 12, false, 13, 12, false, 9},
      {nxtFmtBCD, 100, 2, false, 64, 2, false, 34},
      {nxtFmtBCD, 1, -5, false, 1, 0, false, 3},
      {nxtFmtBCD, 70, 80, false, 64, 63, false, 34},
      {nxtShortString, 300, 0, false, 255, 0, false, 256},
      {nxtShortString, 300, 1, false, 255, 255, false, 256},
      {nxtNullString, 40, 3, false, 40, 40, false, 41},
      {nxtWideString, 10, 0, false, 10, 0, false, 22},
      {nxtWideString, 10, 2, false, 10, 10, false, 22},
      {nxtByteArray, 12, 2, false, 12, 0, false, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.type) << " " << c.units << "/" << c.decimals);
    std::int32_t u = c.units, d = c.decimals;
    bool req = c.required;
    EXPECT_EQ(nxFieldTypeSetup(c.type, u, d, req), c.wantLength);
    EXPECT_EQ(u, c.wantUnits);
    EXPECT_EQ(d, c.wantDecimals);
    EXPECT_EQ(req, c.wantRequired);
  }
  std::int32_t u = 7, d = 9;
  bool req = true;
  EXPECT_EQ(nxFieldTypeSetup(static_cast<TnxFieldType>(32), u, d, req), 0);
  EXPECT_EQ(u, 7);
  EXPECT_EQ(d, 9);
  EXPECT_TRUE(req);
}

TEST(nxsdTypes, StorageCompatibilityIsSymmetricAndKeepsCurrencyApartFromRefNr) {
  const auto& t = nxFieldTypeStorageCompatible;
  int trueCells = 0;
  for (int a = 0; a < nxFieldTypeCount; ++a)
    for (int b = 0; b < nxFieldTypeCount; ++b) {
      EXPECT_EQ(t[a][b], t[b][a]) << a << "," << b;
      trueCells += t[a][b];
    }
  EXPECT_FALSE(t[nxtRefNr][nxtCurrency]);
  EXPECT_FALSE(t[nxtCurrency][nxtRefNr]);
  EXPECT_FALSE(t[nxtRefNr][nxtBCD]);
  EXPECT_TRUE(t[nxtRefNr][nxtInt64]);
  EXPECT_TRUE(t[nxtInt64][nxtRefNr]);
  EXPECT_TRUE(t[nxtCurrency][nxtFmtBCD]);
  EXPECT_TRUE(t[nxtAutoInc][nxtRecRev]);
  EXPECT_TRUE(t[nxtInterval][nxtDateTime]);
  EXPECT_TRUE(t[nxtBlobWideMemo][nxtBlobGraphic]);
  EXPECT_FALSE(t[nxtInt32][nxtWord32]);
  EXPECT_FALSE(t[nxtBlob][nxtByteArray]);
  // 32 diagonal cells, plus 3x3-3, 3x3-3, 2x2-2, 4x4-4 and the Int64/RefNr pair.
  EXPECT_EQ(trueCells, 32 + 6 + 6 + 2 + 12 + 2);
}

TEST(nxsdTypes, SqlTypeNameLookup) {
  struct Case {
    std::u16string_view name;
    TnxFieldType want;
  };
  const Case cases[] = {
      {u"decimal", nxtBCD},  // first type with the name wins over nxtFmtBCD
      {u"national character varying", nxtWideString},
      {u"National Character", nxtWideString},
      {u"CHARACTER VARYING", nxtNullString},
      {u"character", nxtNullString},
      {u"", nxtInterval},
      {u"refnr", nxtRefNr},
      {u"Double Precision", nxtDouble},
      {u"boolean", nxtBoolean},
      {u"NATIONAL CHARACTER LARGE OBJECT", nxtBlobWideMemo},
  };
  for (const Case& c : cases) EXPECT_EQ(nxSqlTypeNameToFieldType(c.name), c.want) << platform::toUtf8(c.name);
  for (std::u16string_view bad : {u"INTERVAL", u"DECIMAL ", u"nxtInt32", u"CHAR"}) {
    try {
      nxSqlTypeNameToFieldType(bad);
      ADD_FAILURE() << platform::toUtf8(bad);
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), 8712u);
      EXPECT_FALSE(e.ExtendedMsg());
      EXPECT_EQ(e.Message(), u"DazavAV: Could not find object. [$2208/8712]");
    }
  }
}

TEST(nxsdTypes, ParamTypeNames) {
  EXPECT_EQ(nxParamTypeFromName(u"inout"), nxptInputOutput);
  EXPECT_EQ(nxParamTypeFromName(u"In"), nxptInput);
  EXPECT_EQ(nxParamTypeFromName(u"OUT"), nxptOutput);
  EXPECT_EQ(nxParamTypeFromName(u"result"), nxptResult);
  EXPECT_EQ(nxParamTypeFromName(u""), nxptUnknown);
  EXPECT_EQ(nxParamTypeFromName(u"INPUT"), nxptUnknown);
  EXPECT_EQ(nxParamTypeNames[nxptInputOutput], u"INOUT");
}

TEST(nxsdTypes, RecIdAndCacheInfo) {
  EXPECT_TRUE(nxRecIDIsValid({1, 2}));
  EXPECT_FALSE(nxRecIDIsValid({1, 0}));
  EXPECT_FALSE(nxRecIDIsValid({0, 2}));
  EXPECT_TRUE(nxRecIDIsUnknown({-1, -1}));
  EXPECT_FALSE(nxRecIDIsUnknown({-1, 0}));

  TnxRecordCacheInfo zero{}, a{5, 7}, b{5, 7}, c{5, 8};
  EXPECT_FALSE(nxRecordCacheInfoEqual(zero, zero));
  EXPECT_TRUE(nxRecordCacheInfoEqual(a, b));
  EXPECT_FALSE(nxRecordCacheInfoEqual(a, c));
  EXPECT_TRUE(nxRecordCacheInfoMatches(a, &b));
  EXPECT_FALSE(nxRecordCacheInfoMatches(a, nullptr));
  EXPECT_TRUE(nxRecordCacheInfoIsEmpty({5, 0}));
  EXPECT_FALSE(nxRecordCacheInfoIsValid({0, 5}));
  nxRecordCacheInfoClear(a);
  EXPECT_TRUE(nxRecordCacheInfoIsEmpty(a));

  TnxIndexedRecordCacheInfo ia{5, 7, 1}, ib{5, 7, 99}, iz{0, 7, 1};
  EXPECT_TRUE(nxIndexedRecordCacheInfoMatches(ia, &ib));  // the index is not compared
  EXPECT_FALSE(nxIndexedRecordCacheInfoMatches(ia, nullptr));
  EXPECT_FALSE(nxIndexedRecordCacheInfoMatches(iz, &iz));

  EXPECT_FALSE(nxBlobBatchRequestIsValid({{1, 2}, {}}));
  TnxBlobBatchRequest req{{1, 2}, {}};
  req.bbrqEntries.push_back({});
  EXPECT_TRUE(nxBlobBatchRequestIsValid(req));
  req.bbrqRecID.ridInsertLSN = 0;
  EXPECT_FALSE(nxBlobBatchRequestIsValid(req));
}

TEST(nxsdTypes, NextBlobInfoSkipsCountAndNumbers) {
  alignas(8) std::uint8_t buf[64] = {};
  buf[0] = 2;              // first info: 2 numbers (bytes 2..17)
  buf[18] = 1;             // second info: 1 number
  auto p = reinterpret_cast<PnxRecordCacheInfoBlobInfo>(buf);
  nxNextBlobInfo(p);
  EXPECT_EQ(reinterpret_cast<std::uint8_t*>(p), buf + 18);
  EXPECT_EQ(p->rcibiCount, 1);
  nxNextBlobInfo(p);
  EXPECT_EQ(reinterpret_cast<std::uint8_t*>(p), buf + 28);
  PnxRecordCacheInfoBlobInfo nil = nullptr;
  nxNextBlobInfo(nil);
  EXPECT_EQ(nil, nullptr);
}

TEST(nxsdTypes, SpecialFieldsAndCacheableInfoAreCounted) {
  PnxSpecialFieldsInfo sfi = nxNewSpecialFieldsInfo();
  EXPECT_EQ(sfi->sfiRefCount, 1);
  for (int i = 0; i < nxSpecialFieldTypeCount; ++i) {
    EXPECT_EQ(sfi->sfiFields[i], -1);
    EXPECT_EQ(sfi->sfiOffsets[i], -1);
  }
  sfi->sfiBlobFields = {3, 4};
  PnxCacheableInfo ci = nxNewCacheableInfo();
  EXPECT_EQ(ci->ciSFI, nullptr);
  EXPECT_EQ(ci->ciRefCount, 1);
  EXPECT_EQ(ci->ciModifyLSNIndex, -1);
  EXPECT_EQ(ci->ciBlobNrCounterIndex, -1);
  ci->ciSFI = nxAddRefSpecialFieldsInfo(sfi);
  EXPECT_EQ(sfi->sfiRefCount, 2);

  PnxCacheableInfo second = ci;
  nxReleaseCacheableInfo(second);  // the last holder: frees it
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(sfi->sfiRefCount, 1);  // the cacheable info released its hold
  nxReleaseSpecialFieldsInfo(sfi);
  EXPECT_EQ(sfi, nullptr);
  nxReleaseSpecialFieldsInfo(sfi);  // a nil variable is left alone
  EXPECT_EQ(nxAddRefSpecialFieldsInfo(nullptr), nullptr);
}

TEST(nxsdTypes, ConcurrentHoldersKeepTheCountExact) {
  nxtest::Watchdog watchdog;
  PnxSpecialFieldsInfo shared = nxNewSpecialFieldsInfo();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([shared] {
      for (int i = 0; i < 20000; ++i) {
        PnxSpecialFieldsInfo mine = nxAddRefSpecialFieldsInfo(shared);
        nxReleaseSpecialFieldsInfo(mine);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(shared->sfiRefCount, 1);
  nxReleaseSpecialFieldsInfo(shared);
}

TEST(nxsdTypes, DiffCompressorCounts) {
  struct Case {
    std::uint16_t length;
    int words, byte8s, word32s, target;
  };
  const Case cases[] = {
      {5, 2, 4, 1, 1}, {4, 1, 4, 1, 0}, {128, 32, 4, 1, 31}, {132, 33, 8, 2, 31}, {260, 65, 12, 3, 62},
  };
  for (const Case& c : cases) {
    PnxDiffCompressorInfo info = nxNewDiffCompressorInfo(c.length);
    EXPECT_EQ(info->dciRefCount, 1);
    EXPECT_EQ(info->dciSourceWord32Count, c.words) << c.length;
    EXPECT_EQ(info->dciBitsLengthByte8s, c.byte8s) << c.length;
    EXPECT_EQ(info->dciBitsLengthWord32s, c.word32s) << c.length;
    EXPECT_EQ(info->dciTargetWord32Count, c.target) << c.length;
    for (int i = 0; i < c.byte8s; ++i) EXPECT_EQ(info->dciRequiredBits()[i], 0);
    nxReleaseDiffCompressorInfo(info);
    EXPECT_EQ(info, nullptr);
  }
}

TEST(nxsdTypes, DiffMarkRequiredAndDecompress) {
  PnxDiffCompressorInfo info = nxNewDiffCompressorInfo(40);  // 10 words, 1 bitmap word
  std::uint8_t a[40], b[40];
  for (int i = 0; i < 40; ++i) a[i] = b[i] = static_cast<std::uint8_t>(i);
  b[1] = 0xEE;   // word 0
  b[35] = 0xDD;  // word 8
  b[39] = 0xCC;  // word 9
  std::memset(info->dciRequiredBits(), 0xFF, info->dciBitsLengthByte8s);
  nxDiffCompressorMarkRequired(info, a, b);
  const std::uint8_t* bits = info->dciRequiredBits();
  EXPECT_EQ(bits[0], 0x01);
  EXPECT_EQ(bits[1], 0x03);
  EXPECT_EQ(bits[2], 0);
  EXPECT_EQ(bits[3], 0);

  // Diff = bitmap, then the present words in order.
  std::uint8_t diff[4 + 12] = {0x01, 0x03, 0, 0};
  std::memcpy(diff + 4, b + 0, 4);
  std::memcpy(diff + 8, b + 32, 4);
  std::memcpy(diff + 12, b + 36, 4);
  std::uint8_t out[40];
  nxDiffDecompressRecord(info, a, diff, out);
  EXPECT_EQ(std::memcmp(out, b, 40), 0);
  PnxDiffCompressorInfo other = nxAddRefDiffCompressorInfo(info);
  nxReleaseDiffCompressorInfo(other);
  EXPECT_EQ(info->dciRefCount, 1);
  nxReleaseDiffCompressorInfo(info);
}

}  // namespace
