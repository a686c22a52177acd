#include "nxllBdeStrings.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "nxllBde.h"

namespace {

const nxString kUnknown = u"Unknown (server exception object has unknown error code)";

struct CodeText {
  TnxResult code;
  const char16_t* text;
};

// A sample across every category, texts as the engine must show them.
const CodeText kSamples[] = {
    {0, u"Success"},
    {1, u"Key has been filtered"},
    {2, u"Cache is valid"},
    {3, u"Cache is invalid"},
    {8455, u"System has been illegally re-entered."},
    {8705, u"At beginning of table."},
    {8712, u"Could not find object."},
    {8962, u"Corrupt file - other than header."},
    {9221, u"Cannot access file. File may be in use by another process."},
    {9473, u"Insufficient memory for this operation."},
    {9734, u"Master has detail records. Cannot delete or modify."},
    {9751, u"Expression validity check failed."},
    {10019, u"Translate Error. Value out of bounds."},
    {10043, u"Invalid language Driver."},
    {10050, u"Filter handle is invalid"},
    {10068, u"Invalid name."},
    {10259, u"Couldn't perform the edit because another user changed the record."},
    {10503, u"Encrypted tables not supported."},
    {10764, u"No associated index."},
    {11114, u"No ServerEngine is connected to the CommandHandler."},
    {11278, u"Cannot locate or connect to network server."},
    {11896, u"General BLOB error."},
    {12040, u"Higher table level required"},
    {12289, u"Capability not supported."},
    {13062, u"Update aborted."},
    {15360, u"TnxBaseFile contains invalid data"},
    {15409, u"Block number is either < 0, or >= number of blocks in file"},
    {15414,
     u"A TnxServerEngine without file header access factories has been detected. Please add "
     u"\"nxseAllEngines\" to your program's USES clause, and recompile."},
    {15415, u"The table cannot be opened because it was created with a newer version of DazavAV."},
    {15498, u"Incompatible stream"},
    {15513, u"Duplicated LSN field"},
    {15521, u"Unknown (unexpected exception object raised)"},
    {15536, u"No message is queued"},
};

TEST(NxGetErrorString, SampleCodesAcrossCategories) {
  for (const auto& s : kSamples) EXPECT_EQ(nxGetErrorString(s.code), s.text) << "code " << s.code;
}

TEST(NxGetErrorString, NamedConstantsMatchTheirRows) {
  EXPECT_EQ(nxGetErrorString(nxErrLockTimeout), u"Lock time out.");
  EXPECT_EQ(nxGetErrorString(nxErrIncompatibleStream), u"Incompatible stream");
  EXPECT_EQ(nxGetErrorString(nxErrDictionaryReadOnly), u"The data dictionary is read only");
  EXPECT_EQ(nxGetErrorString(nxErrUnsupportedSubEngine), u"Specified sub-engine is not supported");
  EXPECT_EQ(nxGetErrorString(nxErrNotSupported), u"Capability not supported.");
  EXPECT_EQ(nxGetErrorString(nxErrReentered), u"System has been illegally re-entered.");
}

TEST(NxGetErrorString, CacheInvalidPositionRange) {
  const struct {
    TnxResult code;
    nxString text;
  } cases[] = {
      {8944, u"Cache is invalid: " + kUnknown},  // $2200 has no row
      {8945, u"Cache is invalid: At beginning of table."},
      {8946, u"Cache is invalid: At end of table."},
      {8952, u"Cache is invalid: Could not find object."},
      {8959, u"Cache is invalid: " + kUnknown},
  };
  for (const auto& c : cases) EXPECT_EQ(nxGetErrorString(c.code), c.text) << "code " << c.code;
}

TEST(NxGetErrorString, CodesWithoutRowGiveDefaultText) {
  for (TnxResult code : {TnxResult(8943), TnxResult(8960), TnxResult(8704), TnxResult(15520), TnxResult(4),
                         TnxResult(65535), TnxResult(0xFFFFFFFFu)})
    EXPECT_EQ(nxGetErrorString(code), kUnknown) << "code " << code;
}

TEST(NxGetErrorString, FullValueIsComparedNothingMasked) {
  EXPECT_EQ(nxGetErrorString(0x10000 + 8705), kUnknown);
  EXPECT_EQ(nxGetErrorString(0x10000 + 0), kUnknown);
  // High bits also keep the cache range rule from applying.
  EXPECT_EQ(nxGetErrorString(0x10000 + 8946), kUnknown);
}

TEST(NxErrorStringEntries, SortedWithoutDuplicatesAndNonEmpty) {
  const auto rows = nxErrorStringEntries();
  ASSERT_FALSE(rows.empty());
  std::set<TnxResult> seen;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_TRUE(seen.insert(rows[i].code).second) << "duplicate " << rows[i].code;
    if (i > 0) {
      EXPECT_LT(rows[i - 1].code, rows[i].code);
    }
    EXPECT_FALSE(rows[i].text.empty()) << rows[i].code;
    EXPECT_LE(rows[i].code, 0xFFFFu);
    EXPECT_EQ(nxGetErrorString(rows[i].code), rows[i].text);
  }
  EXPECT_EQ(seen.count(15520), 0u) << "15520 must fall to the default text";
}

}  // namespace
