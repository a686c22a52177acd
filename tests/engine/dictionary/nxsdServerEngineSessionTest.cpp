// Sessions, databases, transaction contexts, cursors and statements over the
// fake engine: the road of a client from session open to batches, the
// ownership lists, the conveniences and what the base classes refuse.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "nxllBde.h"
#include "nxllException.h"
#include "nxllSessionNotifications.h"
#include "nxllUtils.h"
#include "nxsdFilterEngineHub.h"
#include "nxsdFilterEngineSimpleExpression.h"
#include "nxsdQuestionBank.h"
#include "nxsdServerEngine.h"
#include "plString.h"
#include "nxExpectCode.h"
#include "nxFakeServerEngine.h"
#include "nxStepBound.h"

namespace {

const nxString kPath = u"/bank";

class ServerSessions : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    engine = platform::create<TnxFakeServerEngine>();
    auto dict = nxsdtest::questionBank({.ownLocale = true, .refNr = true, .nested = false});
    table = &engine->feStore.AddTable(kPath, u"qbnk", *dict);
    engine->feStore.aliases[u"BANK"] = kPath;
    TnxAbstractSession* s = nullptr;
    ASSERT_EQ(engine->SessionOpen(s, u"learner", u"pw", u"direct", 0), 0);
    session = static_cast<TnxFakeSession*>(s);
  }
  void TearDown() override {
    if (session) TnxAbstractServerObject::Free(session);
    EXPECT_EQ(engine->SessionCount(), 0);
    EXPECT_EQ(engine->DatabaseCount(), 0);
    EXPECT_EQ(engine->TransContextCount(), 0);
    EXPECT_EQ(engine->CursorCount(), 0);
    EXPECT_EQ(engine->StatementCount(), 0);
    platform::TObject::free(engine);
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
  }

  TnxFakeDatabase* OpenDatabase(TnxAbstractTransContext* aContext = nullptr) {
    TnxAbstractDatabase* db = nullptr;
    EXPECT_EQ(session->DatabaseOpen(db, u"Path", kPath, aContext, omReadWrite, smShared, 0), 0);
    return static_cast<TnxFakeDatabase*>(db);
  }
  TnxFakeCursor* OpenCursor(TnxAbstractDatabase* aDb, const nxString& aIndex = {}) {
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(aDb->CursorOpen(cursor, u"qbnk", u"", omReadWrite, smShared, 0, aIndex, -1, false, {}, 0, nullptr), 0);
    return static_cast<TnxFakeCursor*>(cursor);
  }
  std::int32_t Field(TnxAbstractCursor* aCursor, const nxString& aName) {
    return aCursor->FieldsDescriptor()->GetFieldFromName(aName);
  }
  // Inserts a question; memo empty: the field stays NULL.
  void Insert(TnxAbstractCursor* aCursor, std::int32_t aID, const nxString& aExam, const nxString& aMemo = {}) {
    PnxRecordBuffer buffer = aCursor->RecordBufferAlloc();
    aCursor->SetFieldAsVariantSelf(buffer, Field(aCursor, u"ID"), platform::Variant(aID));
    aCursor->SetFieldAsVariantSelf(buffer, Field(aCursor, u"EXAM_NAME"), platform::Variant(aExam));
    if (!aMemo.empty()) aCursor->SetFieldAsVariantSelf(buffer, Field(aCursor, u"QUEST_STATE"), platform::Variant(aMemo));
    EXPECT_EQ(aCursor->RecordInsert(nxltNoLock, buffer, nullptr), 0);
    aCursor->RecordBufferFree(buffer);
  }
  std::vector<std::int32_t> ReadIDs(TnxAbstractCursor* aCursor, bool aForward = true) {
    std::vector<std::int32_t> ids;
    PnxRecordBuffer buffer = aCursor->RecordBufferAlloc();
    aForward ? aCursor->SetToBegin() : aCursor->SetToEnd();
    TnxResult result = 0;
    nxtest::StepBound step;
    while (step() && (result = aForward ? aCursor->RecordGetNext(nxltNoLock, buffer)
                              : aCursor->RecordGetPrior(nxltNoLock, buffer)) == 0)
      ids.push_back(aCursor->GetFieldAsVariantSelf(buffer, Field(aCursor, u"ID")).toInt32());
    EXPECT_EQ(result, aForward ? nxErrEOF : nxErrBOF);
    aCursor->RecordBufferFree(buffer);
    return ids;
  }

  TnxFakeServerEngine* engine = nullptr;
  TnxFakeSession* session = nullptr;
  TnxFakeTable* table = nullptr;
};

// ---- The main road ----------------------------------------------------------------

TEST_F(ServerSessions, JapaneseRowsReadForwardAndBack) {
  TnxFakeDatabase* db = OpenDatabase();
  TnxFakeCursor* cursor = OpenCursor(db);
  const std::vector<nxString> exams = {u"令和6年秋期", u"平成31年春期", u"ミルフェタ試験"};
  Insert(cursor, 3, exams[0], u"次のうち、正しいものはどれか。");
  Insert(cursor, 1, exams[1]);
  Insert(cursor, 2, exams[2]);
  EXPECT_EQ(ReadIDs(cursor), (std::vector<std::int32_t>{3, 1, 2}));
  EXPECT_EQ(ReadIDs(cursor, false), (std::vector<std::int32_t>{2, 1, 3}));

  PnxRecordBuffer buffer = cursor->RecordBufferAlloc();
  cursor->SetToBegin();
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, buffer), 0);
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(buffer, Field(cursor, u"EXAM_NAME")).toString(), exams[0]);
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(buffer, Field(cursor, u"QUEST_STATE")).toString(),
            u"次のうち、正しいものはどれか。");
  EXPECT_TRUE(cursor->GetFieldAsVariantSelf(buffer, Field(cursor, u"ANSWER")).isNull());
  cursor->RecordBufferFree(buffer);

  // In the order of the ID index's key engine.
  TnxFakeCursor* byID = OpenCursor(db, u"ID");
  EXPECT_EQ(ReadIDs(byID), (std::vector<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(ReadIDs(byID, false), (std::vector<std::int32_t>{3, 2, 1}));
  EXPECT_EQ(TnxAbstractServerObject::Close(db), 0);
  EXPECT_EQ(engine->CursorCount(), 0);
}

// One comparison "field > value" as CANExpr bytes: header, a binary node, a
// field node, a constant node, then the literals.
std::vector<std::uint8_t> greaterThan(std::uint16_t aFieldNumber, const std::string& aName, std::int32_t aValue) {
  std::vector<std::uint8_t> literals(aName.begin(), aName.end());
  literals.push_back(0);
  const auto valueAt = static_cast<std::uint16_t>(literals.size());
  literals.resize(literals.size() + 4);
  std::memcpy(literals.data() + valueAt, &aValue, 4);
  std::vector<std::uint8_t> nodes;
  auto node = [&](std::uint32_t aClass, std::uint32_t aOp, std::vector<std::uint16_t> aOperands) {
    const auto at = static_cast<std::uint16_t>(nodes.size());
    nodes.resize(nodes.size() + 8 + 2 * aOperands.size());
    std::memcpy(nodes.data() + at, &aClass, 4);
    std::memcpy(nodes.data() + at + 4, &aOp, 4);
    std::memcpy(nodes.data() + at + 8, aOperands.data(), 2 * aOperands.size());
    return at;
  };
  node(nxCANBinary, coGT, {12, 24});                // at 0: binary (2 operands) -> 12 bytes
  node(nxCANField, 0, {aFieldNumber, 0});           // at 12
  node(nxCANConst, 0, {nxCANInt32, 4, valueAt});    // at 24
  std::vector<std::uint8_t> out(10);
  const auto total = static_cast<std::uint16_t>(10 + nodes.size() + literals.size());
  const std::uint16_t header[5] = {1, total, 3, 10, static_cast<std::uint16_t>(10 + nodes.size())};
  std::memcpy(out.data(), header, 10);
  out.insert(out.end(), nodes.begin(), nodes.end());
  out.insert(out.end(), literals.begin(), literals.end());
  return out;
}

bool idIsOdd(void* aCookie, const void* aBuffer) {
  std::int32_t id;
  std::memcpy(&id, static_cast<const std::uint8_t*>(aBuffer) + *static_cast<std::int32_t*>(aCookie), 4);
  return id % 2 != 0;
}

TEST_F(ServerSessions, FiltersJoinAHubAndCollapseOnRemoval) {
  TnxFakeCursor* cursor = OpenCursor(OpenDatabase());
  for (std::int32_t id = 1; id <= 6; ++id) Insert(cursor, id, u"試験");
  std::int32_t idOffset = cursor->FieldsDescriptor()->Fields(Field(cursor, u"ID"))->fdOffset;

  TnxFilterID odd = 0, aboveTwo = 0;
  ASSERT_EQ(cursor->FilterAddCallback(&idOffset, &idIsOdd, odd, true), 0);
  EXPECT_EQ(ReadIDs(cursor), (std::vector<std::int32_t>{1, 3, 5}));
  TnxBaseFilterEngine* oddEngine = cursor->FilterVariable();
  const auto expression = greaterThan(static_cast<std::uint16_t>(Field(cursor, u"ID") + 1), "ID", 2);
  ASSERT_EQ(cursor->FilterAddExpression(expression.data(), aboveTwo, true), 0);
  EXPECT_NE(odd, aboveTwo);
  EXPECT_TRUE(cursor->FilterVariable()->is<TnxFilterEngineHub>());
  EXPECT_EQ(ReadIDs(cursor), (std::vector<std::int32_t>{3, 5}));

  // Removing one of two collapses the hub to the other member.
  EXPECT_EQ(cursor->FilterRemove(aboveTwo), 0);
  EXPECT_EQ(cursor->FilterVariable(), oddEngine);
  EXPECT_EQ(ReadIDs(cursor), (std::vector<std::int32_t>{1, 3, 5}));
  EXPECT_EQ(cursor->FilterDeactivate(odd), 0);
  EXPECT_EQ(ReadIDs(cursor).size(), 6u);
  EXPECT_EQ(cursor->FilterRemove(odd), 0);
  EXPECT_EQ(cursor->FilterVariable(), nullptr);
  EXPECT_EQ(cursor->FilterRemove(odd), nxErrInvalidFilterHandle);

  // A malformed expression is refused with the filter's code, nothing added.
  const std::uint8_t broken[10] = {1, 0, 10, 0, 5, 0, 10, 0, 10, 0};
  TnxFilterID none = 7;
  EXPECT_NE(cursor->FilterAddExpression(broken, none, true), 0);
  EXPECT_EQ(none, 0u);
  EXPECT_EQ(cursor->FilterVariable(), nullptr);
}

TEST_F(ServerSessions, BatchDecodesIntoTheSameRecordsWithBookmarksAndBlobs) {
  TnxFakeCursor* cursor = OpenCursor(OpenDatabase());
  Insert(cursor, 1, u"一", u"問題文その一");
  Insert(cursor, 2, u"二");
  Insert(cursor, 3, u"三", u"問題文その三、少し長い");
  std::vector<std::vector<std::uint8_t>> rows;
  for (const auto& row : table->rows) rows.push_back(row.data);

  cursor->SetToBegin();
  TnxBatchStreamAccess* access = nullptr;
  TnxRecordGetBatchExOptions options{gboBookmarks, gboBlobs, gboBlobNrs};
  ASSERT_EQ(cursor->RecordGetBatch(1 << 20, options, access, 0, true), 0);
  TnxOwned<TnxBatchStreamAccess> owned(access);
  EXPECT_EQ(access->Count(), 3);
  EXPECT_EQ(access->InnerError(), static_cast<std::uint32_t>(nxErrEOF));

  TnxFieldsDescriptor* fields = cursor->FieldsDescriptor();
  const std::int32_t memo = Field(cursor, u"QUEST_STATE");
  const std::int32_t memoOffset = fields->Fields(memo)->fdOffset;
  TnxBatchStreamEntry entry{};
  std::int32_t pos = 0;
  std::size_t i = 0;
  for (; access->Next(entry, &pos); ++i) {
    ASSERT_LT(i, rows.size());
    ASSERT_NE(entry.bseRecord, nullptr);
    // Equal but for the BLOB field, which holds its block's offset.
    std::vector<std::uint8_t> got(entry.bseRecord, entry.bseRecord + cursor->RecordLength());
    std::vector<std::uint8_t> want = rows[i];
    std::memset(got.data() + memoOffset, 0, 8);
    std::memset(want.data() + memoOffset, 0, 8);
    EXPECT_EQ(got, want) << "entry " << i;
    TnxRefNr bookmark;
    std::memcpy(&bookmark, entry.bseBookmark, 8);
    EXPECT_EQ(bookmark, table->rows[i].refNr);
    TnxBatchBlobAccess blob{};
    const bool hasBlob = access->GetBlobAccess(entry, memo, blob);
    EXPECT_EQ(hasBlob, i != 1);
    if (hasBlob) {
      TnxBlobNr stored;
      std::memcpy(&stored, rows[i].data() + memoOffset, 8);
      EXPECT_EQ(blob.bbaBlobNr, stored);
      ASSERT_NE(blob.bbaBlobData, nullptr);
      EXPECT_EQ(std::vector<std::uint8_t>(blob.bbaBlobData, blob.bbaBlobData + blob.bbaSize), table->blobs[stored]);
    }
  }
  EXPECT_EQ(i, 3u);
  EXPECT_EQ(pos, 3);

  // Asked without BLOB data, the fixup gives the fields their numbers back.
  access->FixupBlobs({gboBookmarks});
  EXPECT_FALSE(access->Options().contains(gboBlobs));
  access->Reset(false);
  ASSERT_TRUE(access->Next(entry));
  EXPECT_EQ(std::vector<std::uint8_t>(entry.bseRecord, entry.bseRecord + cursor->RecordLength()), rows[0]);
}

// ---- BLOBs ---------------------------------------------------------------------------

class ServerBlobs : public ServerSessions {
 protected:
  void SetUp() override {
    ServerSessions::SetUp();
    cursor = OpenCursor(OpenDatabase());
    Insert(cursor, 1, u"一", u"0123456789");
    recID = TnxRecID{table->rows[0].refNr, 0};
    const std::int32_t memo = Field(cursor, u"QUEST_STATE");
    std::memcpy(&blobNr, table->rows[0].data.data() + cursor->FieldsDescriptor()->Fields(memo)->fdOffset, 8);
    context = static_cast<TnxFakeTransContext*>(cursor->Database()->TransContext());
  }
  TnxResult Read(std::uint32_t aOffset, std::uint32_t aLen, TnxBlobReadSnapshotState& aState, std::string& aOut,
                 TnxNewBlobNr* aNew = nullptr, TnxBlobNr aNr = 0) {
    TnxMemoryStream stream;
    std::uint32_t length = 0;
    const TnxResult result = cursor->BlobReadSnapshoted(recID, Field(cursor, u"QUEST_STATE"), aNr ? aNr : blobNr,
                                                        aOffset, aLen, stream, false, aState, &length, aNew);
    aOut.assign(static_cast<const char*>(stream.Memory()), static_cast<std::size_t>(stream.Size()));
    return result;
  }

  TnxFakeCursor* cursor = nullptr;
  TnxFakeTransContext* context = nullptr;
  TnxRecID recID{};
  TnxBlobNr blobNr = 0;
};

TEST_F(ServerBlobs, SnapshotReadInPiecesStartsOnceAndRollsBackOnce) {
  TnxBlobReadSnapshotState state = brssRequestStart;
  std::string text, piece;
  ASSERT_EQ(Read(0, 4, state, piece), 0);
  EXPECT_EQ(state, brssStarted);
  text += piece;
  ASSERT_EQ(Read(4, 4, state, piece), 0);
  EXPECT_EQ(state, brssStarted);
  text += piece;
  ASSERT_EQ(Read(8, 4, state, piece), 0);
  text += piece;
  EXPECT_EQ(state, brssClosed);
  EXPECT_EQ(text, "0123456789");
  EXPECT_EQ(engine->feStore.counters.snapshotStarts, 1);
  EXPECT_EQ(engine->feStore.counters.rollbacks, 1);
  EXPECT_EQ(context->level, 0);

  // Once over: the whole BLOB in one call, started and ended in it.
  state = brssRequestStart;
  ASSERT_EQ(Read(0, 100, state, piece), 0);
  EXPECT_EQ(state, brssUnneccesary);
  EXPECT_EQ(piece, "0123456789");
  EXPECT_EQ(context->level, 0);
}

TEST_F(ServerBlobs, SnapshotMisuseAndFailuresAnswer9986) {
  std::string piece;
  for (TnxBlobReadSnapshotState bad : {brssFailedToStart, brssFailedToClose, brssClosed}) {
    TnxBlobReadSnapshotState state = bad;
    EXPECT_EQ(Read(0, 4, state, piece), nxErrInvalidParam);
    EXPECT_EQ(state, bad);
  }
  EXPECT_EQ(engine->feStore.counters.snapshotStarts, 0);
  // A failing rollback leaves the snapshot failed to close, with its code.
  TnxBlobReadSnapshotState state = brssRequestStart;
  context->failNextRollback = nxErrNoTransaction;
  EXPECT_EQ(Read(0, 100, state, piece), nxErrNoTransaction);
  EXPECT_EQ(state, brssFailedToClose);
  EXPECT_EQ(Read(0, 1, state, piece), nxErrInvalidParam);
  context->atcForceRollback();
}

TEST_F(ServerBlobs, RenumberedBlobIsFollowed) {
  const TnxBlobNr moved = table->RenumberBlob(blobNr);
  TnxBlobReadSnapshotState state = brssNone;
  TnxNewBlobNr newNr{};
  std::string piece;
  ASSERT_EQ(Read(0, 100, state, piece, &newNr), 0);
  EXPECT_EQ(piece, "0123456789");
  EXPECT_TRUE(newNr.nbnSet);
  EXPECT_EQ(newNr.nbnBlobNr, moved);
  // Already current: nothing to report.
  ASSERT_EQ(Read(0, 100, state, piece, &newNr, moved), 0);
  EXPECT_FALSE(newNr.nbnSet);
  // Without a place for the new number the caller hears 13058.
  EXPECT_EQ(Read(0, 100, state, piece, nullptr), nxErrBlobModified);
}

TEST_F(ServerBlobs, MemoWritesCreateAndDeleteBlobs) {
  const std::int32_t memo = Field(cursor, u"QUEST_STATE");
  const std::int32_t answer = Field(cursor, u"ANSWER");
  PnxRecordBuffer buffer = cursor->RecordBufferAlloc();
  cursor->SetToBegin();
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, buffer), 0);
  TnxFieldsDescriptor* fields = cursor->FieldsDescriptor();

  // A text into a NULL memo creates its BLOB.
  EXPECT_TRUE(fields->IsRecordFieldNull(answer, buffer));
  const std::size_t before = table->blobs.size();
  cursor->SetFieldAsVariantSelf(buffer, answer, platform::Variant(u"ア"));
  EXPECT_FALSE(fields->IsRecordFieldNull(answer, buffer));
  EXPECT_EQ(table->blobs.size(), before + 1);
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(buffer, answer).toString(), u"ア");
  // Stored in the field's code page (932: two bytes).
  TnxBlobNr answerNr;
  std::memcpy(&answerNr, buffer + fields->Fields(answer)->fdOffset, 8);
  EXPECT_EQ(table->blobs[answerNr].size(), 2u);

  // An empty string deletes the BLOB and sets NULL.
  cursor->SetFieldAsVariantSelf(buffer, memo, platform::Variant(u""));
  EXPECT_TRUE(fields->IsRecordFieldNull(memo, buffer));
  EXPECT_EQ(table->blobs.count(blobNr), 0u);
  EXPECT_TRUE(cursor->GetFieldAsVariantSelf(buffer, memo).isNull());

  // An empty BLOB reads as Null, like a NULL field.
  TnxBlobNr emptyNr = answerNr;
  EXPECT_EQ(cursor->BlobReplace(recID, answer, emptyNr, 0, nullptr), 0);
  EXPECT_EQ(emptyNr, answerNr);
  EXPECT_TRUE(table->blobs[answerNr].empty());
  EXPECT_TRUE(cursor->GetFieldAsVariantSelf(buffer, answer).isNull());

  // A graphic field takes and gives byte arrays.
  const std::uint8_t png[] = {0x89, 'P', 'N', 'G'};
  const std::int32_t figure = Field(cursor, u"QUEST_FIG");
  cursor->SetFieldAsVariantSelf(buffer, figure, platform::Variant::byteArray(png));
  const platform::Variant back = cursor->GetFieldAsVariantSelf(buffer, figure);
  ASSERT_TRUE(back.isByteArray());
  EXPECT_EQ(std::vector<std::uint8_t>(back.bytes().begin(), back.bytes().end()),
            std::vector<std::uint8_t>(std::begin(png), std::end(png)));
  // A failing BLOB call raises its code.
  std::memcpy(buffer + fields->Fields(figure)->fdOffset, &blobNr, 8);  // a deleted number
  nxtest::expectCode([&] { cursor->GetFieldAsVariantSelf(buffer, figure); }, nxErrInvalidBlobHandle);
  cursor->RecordBufferFree(buffer);
}

TEST_F(ServerBlobs, ReplaceCreatesOrTruncatesThenWrites) {
  const std::int32_t answer = Field(cursor, u"ANSWER");
  TnxBlobNr nr = 0;
  EXPECT_EQ(cursor->BlobReplace(recID, answer, nr, 3, "abc"), 0);
  ASSERT_NE(nr, 0);
  EXPECT_EQ(table->blobs[nr], (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  const TnxBlobNr first = nr;
  EXPECT_EQ(cursor->BlobReplace(recID, answer, nr, 1, "z"), 0);
  EXPECT_EQ(nr, first);
  EXPECT_EQ(table->blobs[nr], (std::vector<std::uint8_t>{'z'}));
  TnxBlobNr none = 0;
  EXPECT_EQ(cursor->BlobReplace(recID, answer, none, 0, nullptr), 0);
  EXPECT_EQ(none, 0);
  TnxBlobNr gone = 999;
  EXPECT_EQ(cursor->BlobReplace(recID, answer, gone, 1, "x"), nxErrInvalidBlobHandle);
}

TEST_F(ServerBlobs, GetBlobsAndTheMarking) {
  PnxRecordBuffer buffer = cursor->RecordBufferAlloc();
  cursor->SetToBegin();
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, buffer), 0);
  const std::int32_t answer = Field(cursor, u"ANSWER");
  cursor->SetFieldAsVariantSelf(buffer, answer, platform::Variant(u"イ"));
  TnxBlobNr answerNr;
  std::memcpy(&answerNr, buffer + cursor->FieldsDescriptor()->Fields(answer)->fdOffset, 8);

  TnxBlobNr numbers[2] = {};
  std::uint16_t count = 1;
  EXPECT_EQ(cursor->GetBlobs(buffer, false, count, numbers), nxErrOutOfRange);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(numbers[0], blobNr);
  count = 2;
  EXPECT_EQ(cursor->GetBlobs(buffer, false, count, numbers), 0);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(numbers[1], answerNr);
  count = 2;
  EXPECT_EQ(cursor->GetBlobs(nullptr, false, count, numbers), nxErrInvalidParam);

  // Only marked ones: nothing marked answers none.
  count = 2;
  EXPECT_EQ(cursor->GetBlobs(buffer, true, count, numbers), 0);
  EXPECT_EQ(count, 0);
  const std::int32_t answerIndex = cursor->FieldsDescriptor()->Fields(answer)->fdBlobIndex;
  EXPECT_EQ(cursor->BlobsSetMarked({1u << answerIndex}), 0);
  TnxBlobNrs marked;
  EXPECT_EQ(cursor->GetBlobs(buffer, true, marked), 0);
  EXPECT_EQ(marked, (TnxBlobNrs{answerNr}));
  // A marking of zero words (or all zero) clears it.
  EXPECT_EQ(cursor->BlobsSetMarked({}), 0);
  EXPECT_TRUE(cursor->MarkedBlobs().empty());
  EXPECT_EQ(cursor->BlobsSetMarked({1u << answerIndex}), 0);
  EXPECT_EQ(cursor->BlobsSetMarked({0u}), 0);
  EXPECT_TRUE(cursor->MarkedBlobs().empty());
  cursor->RecordBufferFree(buffer);
}

TEST_F(ServerBlobs, BlobBatchReplyGivesFieldsTheirNumbers) {
  PnxRecordBuffer buffer = cursor->RecordBufferAlloc();
  const std::int32_t memo = Field(cursor, u"QUEST_STATE");
  const std::int32_t answer = Field(cursor, u"ANSWER");
  TnxBlobBatchRequest request{recID, {}};
  request.bbrqEntries.resize(2);
  request.bbrqEntries[0].bbrqeFieldNo = static_cast<std::uint16_t>(memo);
  request.bbrqEntries[1].bbrqeFieldNo = static_cast<std::uint16_t>(answer);
  std::vector<std::uint8_t> replyBytes(2 + 2 * 8);
  auto* reply = reinterpret_cast<TnxBlobBatchReply*>(replyBytes.data());
  reply->bbrpCount = 2;
  const TnxBlobNr numbers[2] = {42, 0};
  std::memcpy(replyBytes.data() + 2, numbers, sizeof numbers);
  cursor->FieldsDescriptor()->SetRecordFieldNull(answer, buffer, false);
  EXPECT_EQ(cursor->BlobBatchApply(buffer, request, reply), 0);
  TnxBlobNr got;
  std::memcpy(&got, buffer + cursor->FieldsDescriptor()->Fields(memo)->fdOffset, 8);
  EXPECT_EQ(got, 42);
  EXPECT_TRUE(cursor->FieldsDescriptor()->IsRecordFieldNull(answer, buffer));
  EXPECT_EQ(cursor->BlobBatchApply(nullptr, request, reply), 0);
  cursor->RecordBufferFree(buffer);
}

// ---- Ownership ----------------------------------------------------------------------

TEST_F(ServerSessions, DatabaseWithoutContextOwnsOneAndFreesIt) {
  TnxFakeDatabase* db = OpenDatabase();
  ASSERT_NE(db->TransContext(), nullptr);
  EXPECT_EQ(db->OwnedTransContext(), db->TransContext());
  EXPECT_EQ(engine->TransContextCount(), 1);
  // The database's transactions are its context's.
  EXPECT_EQ(db->TransactionStart(false, false), 0);
  std::int32_t level = 0;
  EXPECT_EQ(db->TransactionGetLevel(level), 0);
  EXPECT_EQ(level, 1);
  EXPECT_EQ(db->TransactionCommit(), 0);
  EXPECT_EQ(db->TransactionCommit(), nxErrNoTransaction);
  EXPECT_EQ(TnxAbstractServerObject::Close(db), 0);
  EXPECT_EQ(engine->TransContextCount(), 0);
  EXPECT_EQ(engine->feStore.counters.transContextsFreed, 1);
}

TEST_F(ServerSessions, DatabaseWhoseContextCannotBeMadeIsNotLeftBehind) {
  engine->feStore.failTransContextCreate = nxErrNotSupported;
  TnxAbstractDatabase* db = nullptr;
  EXPECT_EQ(session->DatabaseOpen(db, u"Path", kPath, nullptr, omReadOnly, smShared, 0), nxErrNotSupported);
  EXPECT_EQ(db, nullptr);
  EXPECT_EQ(session->DatabaseCount(), 0);
  EXPECT_EQ(engine->DatabaseCount(), 0);
  engine->feStore.failTransContextCreate = 0;
  TnxFakeDatabase* opened = OpenDatabase();
  EXPECT_EQ(session->DatabaseCount(), 1);
  EXPECT_EQ(TnxAbstractServerObject::Close(opened), 0);
}

TEST_F(ServerSessions, SharedContextDiesAndItsDatabasesMoveToFreshOnes) {
  TnxAbstractTransContext* shared = nullptr;
  ASSERT_EQ(session->TransContextCreate(shared, 0), 0);
  EXPECT_EQ(static_cast<TnxAbstractTransContext*>(shared)->AttachedDatabases(), u"None");
  TnxFakeDatabase* a = OpenDatabase(shared);
  EXPECT_EQ(shared->AttachedDatabases(), u"One");
  TnxFakeDatabase* b = OpenDatabase(shared);
  EXPECT_EQ(shared->AttachedDatabases(), u"Multiple");
  EXPECT_EQ(a->OwnedTransContext(), nullptr);
  a->SetTimeout(1234);
  EXPECT_EQ(shared->TransactionStart(false, false), 0);

  EXPECT_EQ(TnxAbstractServerObject::Close(shared), 0);
  EXPECT_EQ(engine->feStore.counters.forcedRollbacks, 1);
  for (TnxFakeDatabase* db : {a, b}) {
    ASSERT_NE(db->TransContext(), nullptr);
    EXPECT_EQ(db->OwnedTransContext(), db->TransContext());
    EXPECT_EQ(db->TransContext()->AttachedDatabases(), u"One");
    EXPECT_EQ(db->TransactionStart(false, false), 0);
    EXPECT_EQ(db->TransactionRollback(), 0);
  }
  EXPECT_EQ(a->TransContext()->Timeout(), 1234u);
  EXPECT_NE(a->TransContext(), b->TransContext());
  EXPECT_EQ(engine->TransContextCount(), 2);
}

TEST_F(ServerSessions, FailedSessionCleanupFreesEverythingOnce) {
  TnxAbstractTransContext* shared = nullptr;
  ASSERT_EQ(session->TransContextCreate(shared, 0), 0);
  TnxFakeDatabase* a = OpenDatabase(shared);
  OpenCursor(a);
  TnxFakeDatabase* b = OpenDatabase();
  TnxAbstractStatement* statement = nullptr;
  ASSERT_EQ(b->StatementAlloc(statement, 0), 0);
  // A task that never finishes: the cleanup gives up on it after its
  // rounds (about 2 s) and frees it anyway.
  auto* task = platform::create<TnxFakeTask>(session);
  EXPECT_EQ(engine->DatabaseCount(), 2);
  EXPECT_EQ(engine->TransContextCount(), 2);

  int cancels = 0;
  task->onCancel = [&] { ++cancels; };
  session->Failed(true);
  EXPECT_TRUE(session->CleanedUp());
  EXPECT_EQ(session->DatabaseCount(), 0);
  EXPECT_EQ(session->TransContextCount(), 0);
  EXPECT_EQ(session->TaskInfoCount(), 0);
  EXPECT_EQ(engine->feStore.counters.databasesFreed, 2);
  EXPECT_EQ(engine->feStore.counters.transContextsFreed, 2);
  EXPECT_EQ(engine->feStore.counters.tasksFreed, 1);
  EXPECT_GE(cancels, 20);
  EXPECT_EQ(engine->DatabaseCount(), 0);
  EXPECT_EQ(engine->TransContextCount(), 0);
  EXPECT_EQ(engine->CursorCount(), 0);
  EXPECT_EQ(engine->StatementCount(), 0);
  // Failed for good: calls are refused, the cleanup does not run again.
  bool exists = true;
  nxtest::expectCode([&] { session->TableExists(u"BANK", u"qbnk", u"", exists, false); }, nxErrInvalidHandle);
  session->Failed(true);
  EXPECT_EQ(engine->feStore.counters.databasesFreed, 2);
  EXPECT_EQ(TnxAbstractServerObject::Close(session), 0);
  session = nullptr;
  EXPECT_EQ(engine->SessionCount(), 0);
}

TEST_F(ServerSessions, AutoFreeDatabaseGoesWithItsLastCursor) {
  TnxFakeDatabase* db = OpenDatabase();
  TnxFakeCursor* first = OpenCursor(db);
  TnxFakeCursor* second = OpenCursor(db);
  db->SetCursorAutoFree(true);
  EXPECT_EQ(TnxAbstractServerObject::Close(first), 0);
  EXPECT_EQ(engine->DatabaseCount(), 1);
  EXPECT_EQ(TnxAbstractServerObject::Close(second), 0);
  EXPECT_EQ(engine->DatabaseCount(), 0);
  EXPECT_EQ(session->DatabaseCount(), 0);
  // Without the flag the database stays.
  TnxFakeDatabase* kept = OpenDatabase();
  EXPECT_EQ(TnxAbstractServerObject::Close(OpenCursor(kept)), 0);
  EXPECT_EQ(session->DatabaseCount(), 1);
}

TEST_F(ServerSessions, StoppingTheEngineFreesSessionsWithAllTheyHold) {
  engine->Open();
  ASSERT_EQ(engine->State(), nxsStarted);
  TnxAbstractSession* second = nullptr;
  ASSERT_EQ(engine->SessionOpen(second, u"second", u"", u"", 0), 0);
  TnxFakeDatabase* db = OpenDatabase();
  OpenCursor(db);
  TnxAbstractStatement* statement = nullptr;
  ASSERT_EQ(db->StatementAlloc(statement, 0), 0);
  TnxAbstractDatabase* other = nullptr;
  ASSERT_EQ(second->DatabaseOpen(other, u"Name", u"bank", nullptr, omReadOnly, smShared, 0), 0);
  EXPECT_EQ(engine->SessionCount(), 2);
  EXPECT_EQ(engine->DatabaseCount(), 2);
  engine->Close();
  session = nullptr;
  EXPECT_EQ(engine->SessionCount(), 0);
  EXPECT_EQ(engine->DatabaseCount(), 0);
  EXPECT_EQ(engine->TransContextCount(), 0);
  EXPECT_EQ(engine->CursorCount(), 0);
  EXPECT_EQ(engine->StatementCount(), 0);
}

// Counts its disconnections.
class Notifier : public TnxInterfacedObject, public InxSessionNotifier {
  PL_CLASS_INFO_DECL()
 public:
  explicit Notifier(int& aCalls) : calls_(aCalls) {}
  NX_INTERFACED_OBJECT_BASICS()
  void Disconnected() override { ++calls_; }

 private:
  int& calls_;
};
PL_CLASS_INFO_IMPL(Notifier, TnxInterfacedObject, "Notifier", nullptr)

TEST_F(ServerSessions, SessionNotificationsHearTheDisconnectOnce) {
  InxSessionNotifications* notifications = session->SessionNotifications();
  ASSERT_NE(notifications, nullptr);
  EXPECT_EQ(session->SessionNotifications(), notifications);
  int calls = 0;
  TnxIntfPtr<InxSessionNotifier> notifier(static_cast<InxSessionNotifier*>(platform::create<Notifier>(calls)));
  TnxNotifierHandle handle;
  notifications->RegisterNotifier(notifier, handle);
  EXPECT_FALSE(handle.IsNil());
  EXPECT_EQ(TnxAbstractServerObject::Close(session), 0);
  session = nullptr;
  EXPECT_EQ(calls, 1);
}

// ---- Conveniences and options -------------------------------------------------------

TEST_F(ServerSessions, TableExistsThroughTheSession) {
  bool exists = false;
  EXPECT_EQ(session->TableExists(u"bank", u"qbnk", u"", exists, false), 0);
  EXPECT_TRUE(exists);
  EXPECT_EQ(session->TableExists(u"bank", u"nothere", u"", exists, false), 0);
  EXPECT_FALSE(exists);
  exists = true;
  EXPECT_EQ(session->TableExists(u"unknown", u"qbnk", u"", exists, false), nxErrUnknownDatabase);
  EXPECT_FALSE(exists);
  exists = true;
  EXPECT_EQ(session->TableExists(u"", u"qbnk", u"", exists, false), nxErrUnknownDatabase);
  EXPECT_FALSE(exists);
  EXPECT_EQ(engine->DatabaseCount(), 0);
  EXPECT_EQ(session->DatabaseCount(), 0);
}

TEST_F(ServerSessions, TableStreamsThroughSessionAndDatabaseLeaveNothingBehind) {
  const std::string payload = "名前付きストリーム";
  TnxMemoryStream out;
  out.WriteBuffer(payload.data(), static_cast<std::int32_t>(payload.size()));
  out.SetPosition(0);
  EXPECT_EQ(session->TableStreamWrite(u"BANK", u"qbnk", u"", u"Layout", out), 0);
  EXPECT_EQ(engine->DatabaseCount(), 0);
  EXPECT_EQ(engine->TransContextCount(), 0);
  EXPECT_EQ(engine->CursorCount(), 0);

  TnxFakeDatabase* db = OpenDatabase();
  TnxMemoryStream in;
  EXPECT_EQ(db->TableStreamRead(u"qbnk", u"", u"LAYOUT", in), 0);
  EXPECT_EQ(std::string(static_cast<const char*>(in.Memory()), static_cast<std::size_t>(in.Size())), payload);
  EXPECT_EQ(db->CursorCount(), 0);
  TnxMemoryStream again;
  EXPECT_EQ(session->TableStreamRead(u"BANK", u"qbnk", u"", u"Layout", again), 0);
  EXPECT_EQ(again.Size(), in.Size());
  // The first failing step answers: a missing table, a missing stream.
  EXPECT_EQ(db->TableStreamRead(u"missing", u"", u"Layout", in), nxErrNoSuchTable);
  EXPECT_EQ(session->TableStreamRead(u"BANK", u"qbnk", u"", u"Other", in), nxErrObjectNotFound);
  EXPECT_EQ(db->CursorCount(), 0);
  EXPECT_EQ(engine->DatabaseCount(), 1);
}

TEST_F(ServerSessions, ExplicitAllowSystemComesOnlyFromTheDatabasesOwnOption) {
  TnxFakeDatabase* db = OpenDatabase();
  EXPECT_EQ(session->OptionSet(u"ALLOWSYSTEMTABLEACCESS", u"1"), 0);
  nxString value;
  EXPECT_EQ(db->OptionGetEffective(u"ALLOWSYSTEMTABLEACCESS", value), 0);
  EXPECT_EQ(value, u"1");
  EXPECT_FALSE(db->ExplicitAllowSystem());
  EXPECT_EQ(db->OptionSet(u"ALLOWSYSTEMTABLEACCESS", u"1"), 0);
  EXPECT_TRUE(db->ExplicitAllowSystem());
  EXPECT_EQ(db->OptionSet(u"ALLOWSYSTEMTABLEACCESS", u"0"), 0);
  EXPECT_FALSE(db->ExplicitAllowSystem());
}

TEST_F(ServerSessions, UserInfoLinesCarryTheirMarkers) {
  session->SetAuthenticated(true);
  platform::TStringList lines;
  session->GetUserInfo(lines);
  ASSERT_EQ(lines.count(), 3);
  EXPECT_NE(lines.strings(0).find(u"Connected since: "), nxString::npos);
  EXPECT_NE(lines.strings(0).find(u"Session.ID"), nxString::npos);
  EXPECT_NE(lines.strings(0).find(u"Session.ConnectedSince"), nxString::npos);
  EXPECT_EQ(lines.strings(1).find(u"Username: learner [authenticated]"), 0u);
  EXPECT_NE(lines.strings(1).find(u"Session.Authenticated"), nxString::npos);
  EXPECT_EQ(lines.strings(2).find(u"Connected from: direct"), 0u);

  TnxAbstractSession* anonymous = nullptr;
  ASSERT_EQ(engine->SessionOpen(anonymous, u"", u"", u"", 0), 0);
  platform::TStringList other;
  anonymous->GetUserInfo(other);
  ASSERT_EQ(other.count(), 2);
  EXPECT_EQ(other.strings(1).find(u"anonymous User"), 0u);
  EXPECT_NE(other.strings(1).find(u"Session.UserName"), nxString::npos);
  TnxAbstractServerObject::Close(anonymous);
}

// ---- Lookup and refusals ---------------------------------------------------------------

// Runs a check when its object starts to die.
class DestroyWatcher : public TnxBaseEngineExtender {
 public:
  DestroyWatcher(TnxExtendableServerObject* aObject, std::function<void()> aCheck)
      : TnxBaseEngineExtender(nullptr, aObject, TnxEngineActions{eaDestroy}), check_(std::move(aCheck)) {}
  TnxResult Notify(TnxEngineAction aAction, bool, TnxEngineArgs) override {
    if (aAction == eaDestroy) check_();
    return 0;
  }

 private:
  std::function<void()> check_;
};

void* instanceOf(TnxAbstractServerObject* aObject, const nxString& aName) {
  void* intf = nullptr;
  const std::int32_t hr = aObject->CreateInstanceFor(aName, nxServerObjectSelfClassID, nullptr,
                                                     InxAbstractServerObject41100::IID, &intf);
  return hr == nxS_OK ? intf : nullptr;
}

void* self(TnxAbstractServerObject* aObject) { return static_cast<InxAbstractServerObject41100*>(aObject); }

TEST_F(ServerSessions, CreateInstanceForWalksDatabaseContextCursorStatement) {
  TnxFakeDatabase* db = OpenDatabase();
  TnxFakeCursor* cursor = OpenCursor(db);
  TnxAbstractStatement* statement = nullptr;
  ASSERT_EQ(db->StatementAlloc(statement, 0), 0);
  TnxAbstractTransContext* context = db->TransContext();
  EXPECT_EQ(instanceOf(db, u"<TransContext>"), self(context));
  EXPECT_EQ(instanceOf(db, u"<TransContext>.<Self>"), self(context));
  EXPECT_EQ(instanceOf(db, u"<Database>"), self(db));
  EXPECT_EQ(instanceOf(context, u"<TransContext>"), self(context));
  EXPECT_EQ(instanceOf(cursor, u"<Cursor>"), self(cursor));
  EXPECT_EQ(instanceOf(cursor, u"<Database>"), self(db));
  EXPECT_EQ(instanceOf(cursor, u"<Database>.<TransContext>"), self(context));
  EXPECT_EQ(instanceOf(statement, u"<Statement>"), self(statement));
  EXPECT_EQ(instanceOf(statement, u"<database>.<session>"), self(session));
  EXPECT_EQ(instanceOf(statement, u"<Cursor>"), nullptr);
}

TEST_F(ServerSessions, NotSupportedOperationsAnswer12289WithTheirName) {
  TnxFakeDatabase* db = OpenDatabase();
  TnxFakeCursor* cursor = OpenCursor(db);
  TnxAbstractDatabase* none = nullptr;
  TnxAbstractCursor* noCursor = nullptr;
  TnxIntfPtr<InxDatabaseCursorSourceControl> control;
  std::uint8_t buffer[64] = {};
  TnxRecordCacheInfos infos;
  TnxLSN lsn = 1;
  TnxRefNr ref = 1;
  PnxBlobBatchReply reply = nullptr;
  struct Case {
    const char16_t* name;
    std::function<TnxResult()> call;
  } cases[] = {
      {u"DatabaseCacheOpen",
       [&] { return session->DatabaseCacheOpen(none, u"Path", kPath, nullptr, omReadOnly, smShared, 0); }},
      {u"SetCacheDatabase", [&] { return db->SetCacheDatabase(nullptr); }},
      {u"RegisterCursorSource", [&] { return db->RegisterCursorSource(nullptr, control); }},
      {u"CursorCacheOpen",
       [&] { return db->CursorCacheOpen(noCursor, u"qbnk", u"", omReadOnly, smShared, 0, u"", -1, false, {}, 0); }},
      {u"SetCacheTransContext", [&] { return db->TransContext()->SetCacheTransContext(nullptr); }},
      {u"SavePath", [&] { return cursor->SavePath(); }},
      {u"RestorePath", [&] { return cursor->RestorePath(); }},
      {u"GetBookmarkCache", [&] { return cursor->GetBookmarkCache(buffer, 8); }},
      {u"SetToCacheBookmark", [&] { return cursor->SetToCacheBookmark(buffer, 8); }},
      {u"BookmarkCheckLocal", [&] { return cursor->BookmarkCheckLocal(buffer, 8); }},
      {u"BuildKey", [&] { return cursor->BuildKey(buffer, buffer, false); }},
      {u"KeyToRecord", [&] { return cursor->KeyToRecord(buffer, buffer); }},
      {u"BlobBatchProcess", [&] { return cursor->BlobBatchProcess(TnxBlobBatchRequest{}, reply); }},
      {u"BlobAddToCache", [&] { return cursor->BlobAddToCache(TnxRecID{}, 0, 1, 0, nullptr); }},
      {u"ContainsLSNRefNr", [&] { return cursor->TnxAbstractCursor::ContainsLSNRefNr(lsn, ref); }},
      {u"GetDeletedRecords", [&] { return cursor->GetDeletedRecords(0, infos, 10, &lsn); }},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.call(), nxErrNotSupported) << platform::toUtf8(c.name);
    const nxString message = EnxBaseException(nxErrNotSupported).Message();
    EXPECT_NE(message.find(nxString(c.name) + u" not supported by "), nxString::npos) << platform::toUtf8(message);
  }
  EXPECT_EQ(lsn, 0);
  EXPECT_EQ(none, nullptr);
  TnxLSN zero = 0;
  TnxRefNr zeroRef = 0;
  EXPECT_EQ(cursor->TnxAbstractCursor::ContainsLSNRefNr(zero, zeroRef), nxErrNoCurrentRecord);
  EXPECT_EQ(cursor->ContainsCacheInfo(TnxRecordCacheInfo{0, 0}), nxErrNoCurrentRecord);
  nxtest::expectCode<EnxFakeServerEngineException>([&] { cursor->RequestNestedTransactions(); }, nxErrNotSupported,
                                                   u"RequestNestedTransactions is not supported by TnxFakeCursor");
}

TEST_F(ServerSessions, DatabaseOpenRefusals) {
  TnxAbstractDatabase* db = reinterpret_cast<TnxAbstractDatabase*>(1);
  EXPECT_EQ(session->DatabaseOpen(db, u"Path", u"/nowhere", nullptr, omReadOnly, smShared, 0), nxErrAliasDirNotFound);
  EXPECT_EQ(db, nullptr);
  EXPECT_EQ(session->DatabaseOpen(db, u"Url", kPath, nullptr, omReadOnly, smShared, 0), nxErrNotSupported);
  EXPECT_EQ(session->DatabaseOpen(db, u"Name", u" bank", nullptr, omReadOnly, smShared, 0), nxErrInvalidAliasName);
  EXPECT_EQ(engine->TransContextCount(), 0);
}

TEST_F(ServerSessions, CursorOptionsAddAndRemove) {
  TnxFakeCursor* cursor = OpenCursor(OpenDatabase());
  EXPECT_TRUE(cursor->AddCursorOption(acoFlipOrder));
  EXPECT_FALSE(cursor->AddCursorOption(acoFlipOrder));
  EXPECT_TRUE(cursor->HasAllCursorOptions({acoFlipOrder}));
  EXPECT_FALSE(cursor->HasAnyCursorOptions({acoSkipReadingBlobDataForBatch}));
  EXPECT_TRUE(cursor->AddCursorOptions({acoFlipOrder, acoSkipReadingBlobDataForBatch}));
  EXPECT_FALSE(cursor->RemoveCursorOptions({acoSetToKeyFollowedBySync, acoPreCacheMarkedBlobs}));
  EXPECT_TRUE(cursor->RemoveCursorOption(acoFlipOrder));
  EXPECT_FALSE(cursor->RemoveCursorOption(acoFlipOrder));
  EXPECT_TRUE(cursor->HasAnyCursorOptions({acoSkipReadingBlobDataForBatch}));
}

// ---- Statements and request-close handlers ---------------------------------------------

TEST_F(ServerSessions, StatementCallsInOrderAndCounted) {
  TnxFakeDatabase* db = OpenDatabase();
  engine->feStore.canned[u"select * from qbnk"] = u"qbnk";
  TnxFakeCursor* writer = OpenCursor(db);
  Insert(writer, 1, u"一");
  Insert(writer, 2, u"二");
  TnxAbstractStatement* statement = nullptr;
  ASSERT_EQ(db->StatementAlloc(statement, 0), 0);
  EXPECT_EQ(engine->StatementCount(), 1);
  EXPECT_EQ(db->StatementCount(), 1);
  TnxMemoryStream stream;
  EXPECT_EQ(statement->Prepare(stQuery, u"select * from qbnk", &stream), 0);
  TnxSqlParamList params(1);
  params[0].piParamName = u"out";
  params[0].piParamType = nxptInputOutput;
  params[0].piData = {7};
  EXPECT_EQ(statement->SetParams(params, &stream), 0);
  TnxAbstractCursor* result = nullptr;
  EXPECT_EQ(statement->Exec(result, omReadOnly, &stream), 0);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(ReadIDs(result), (std::vector<std::int32_t>{1, 2}));
  params[0].piData.clear();
  EXPECT_EQ(statement->GetParams(params, &stream), 0);
  EXPECT_EQ(params[0].piData, (std::vector<std::uint8_t>{7}));
  EXPECT_EQ(engine->feStore.counters.statementCalls,
            (std::vector<std::string>{"Prepare", "SetParams", "Exec", "GetParams"}));
  // The database frees its statements with itself.
  EXPECT_EQ(TnxAbstractServerObject::Close(db), 0);
  EXPECT_EQ(engine->StatementCount(), 0);

  // All in one call, reporting the phase it reached.
  TnxFakeDatabase* other = OpenDatabase();
  TnxAbstractCursor* direct = nullptr;
  TnxStatementExecDirectPhase phase = sedAlloc;
  EXPECT_EQ(other->StatementExecDirect(0, stQuery, u"update qbnk", nullptr, params, nullptr, direct, omReadOnly,
                                       nullptr, nullptr, phase),
            0);
  EXPECT_EQ(phase, sedFree);
  EXPECT_EQ(direct, nullptr);
  EXPECT_EQ(engine->StatementCount(), 0);
}

TEST_F(ServerSessions, RequestCloseHandlers) {
  TnxFakeDatabase* db = OpenDatabase();
  TnxFakeCursor* cursor = OpenCursor(db);
  int calls = 0;
  platform::TObject* sender = nullptr;

  // Without code: disconnected from the start.
  TnxIntfPtr<InxRequestCloseHandler> silent = nxCreateRequestCloseHandler(nullptr);
  cursor->SetOnRequestClose(silent);
  EXPECT_EQ(cursor->OnRequestClose().get(), silent.get());
  EXPECT_FALSE(cursor->AskToClose());

  TnxIntfPtr<InxRequestCloseHandler> counting = nxCreateRequestCloseHandler([&](platform::TObject* aSender) {
    ++calls;
    sender = aSender;
  });
  cursor->SetOnRequestClose(counting);
  EXPECT_FALSE(cursor->AskToClose());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(sender, cursor);
  TnxIntfPtr<InxRequestCloseHandlerEvent> event;
  ASSERT_EQ(counting->QueryInterface(InxRequestCloseHandlerEvent::IID, reinterpret_cast<void**>(event.slot())), nxS_OK);
  event->Disconnect();
  counting->RequestClose(cursor);
  EXPECT_EQ(calls, 1);

  // A handler that closes the cursor: the cursor learns of it.
  TnxIntfPtr<InxRequestCloseHandler> closing = nxCreateRequestCloseHandler(
      [&](platform::TObject* aSender) { TnxAbstractServerObject::Close(static_cast<TnxFakeCursor*>(aSender)); });
  cursor->SetOnRequestClose(closing);
  EXPECT_TRUE(cursor->AskToClose());
  EXPECT_EQ(db->CursorCount(), 0);

  // A cursor being destroyed drops its handler and takes no new one.
  TnxFakeCursor* dying = OpenCursor(db);
  dying->SetOnRequestClose(counting);
  auto* impl = static_cast<TnxRequestCloseHandlerEvent*>(static_cast<InxRequestCloseHandlerEvent*>(counting.get()));
  const std::int32_t held = impl->RefCount();
  TnxIntfPtr<InxRequestCloseHandler> during = nxCreateRequestCloseHandler([](platform::TObject*) {});
  bool checked = false;
  platform::create<DestroyWatcher>(dying, [&] {
    dying->SetOnRequestClose(during);
    EXPECT_EQ(dying->OnRequestClose().get(), nullptr);
    checked = true;
  });
  EXPECT_EQ(TnxAbstractServerObject::Close(dying), 0);
  EXPECT_TRUE(checked);
  EXPECT_EQ(impl->RefCount(), held - 1);
  EXPECT_EQ(db->CursorCount(), 0);
}

// A caller that chains its own destruction flag learns whether the request
// closed the cursor, also when it holds a call that keeps the cursor in memory.
TEST_F(ServerSessions, RequestCloseTellsAnOuterFlagWhenTheHandlerFreesTheCursor) {
  struct Row {
    const char* name;
    bool handlerCloses;
    bool callerHoldsCall;
  };
  const Row rows[] = {
      {"closes", true, false},
      {"closes while the caller holds a call", true, true},
      {"leaves the cursor open", false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TnxFakeDatabase* db = OpenDatabase();
    bool outer = false;
    TnxFakeCursor* cursor = OpenCursor(db);
    cursor->SetDestroyFlag(&outer);
    cursor->SetOnRequestClose(nxCreateRequestCloseHandler([&](platform::TObject* aSender) {
      if (row.handlerCloses) TnxAbstractServerObject::Close(static_cast<TnxFakeCursor*>(aSender));
    }));
    {
      TnxServerObjectCall held;
      if (row.callerHoldsCall) held = TnxServerObjectCall(cursor);
      EXPECT_EQ(cursor->AskToClose(), row.handlerCloses);
      EXPECT_EQ(outer, row.handlerCloses);
      if (row.callerHoldsCall) {
        EXPECT_TRUE(held.ObjectClosed());
      }
    }
    if (!row.handlerCloses) {
      // The chain is back as it was: the real close reaches the outer flag.
      EXPECT_EQ(TnxAbstractServerObject::Close(cursor), 0);
      EXPECT_TRUE(outer);
    }
    EXPECT_EQ(db->CursorCount(), 0);
  }
}

}  // namespace
