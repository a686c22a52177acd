// Validation engines and the handler: required fields per side, minimum and
// maximum with the key field's comparison, no change, CHECK constraints
// through a small check statement of our own, and the messages.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <sstream>
#include <vector>

#include "nxllBde.h"
#include "nxllUtils.h"
#include "nxsdDataDictionary.h"
#include "nxsdQuestionBank.h"
#include "nxsdTestSupport.h"
#include "nxsdValidationEngine.h"
#include "plString.h"

// A check statement that understands "<operand> <op> <operand>" with
// operands that are integers or columns (NEW, OLD, OLD$name, name) and the
// operators = <> < > <= >=, and "RAISE", whose evaluation raises. A NULL
// operand makes the result unknown.
class TnxTestCheckStatement : public TnxBaseSqlCheckStatement {
  PL_CLASS_INFO_DECL()
 public:
  TnxTestCheckStatement(TnxFieldsDescriptor* aFieldsDescriptor, TnxFieldDescriptor* aFieldDescriptor,
                        TnxAbstractCursor* aCursor, const nxString& aSqlText)
      : TnxBaseSqlCheckStatement(aFieldsDescriptor, aFieldDescriptor, aCursor, aSqlText) {
    std::istringstream in(platform::toUtf8(aSqlText));
    std::string left, right;
    in >> left >> op >> right;
    if (left == "RAISE") return;
    lhs = operand(left);
    rhs = operand(right);
  }
  static inline bool blobs = false;
  // Called at the start of every evaluation.
  static inline std::function<void(TnxTestCheckStatement&)> onEvaluate;
  bool BlobsSupported() override { return blobs; }

 protected:
  struct Operand {
    std::int32_t handle = -1;  // -1: the literal
    std::int64_t literal = 0;
  };
  Operand operand(const std::string& aText) {
    Operand o;
    if (!aText.empty() && (std::isdigit(static_cast<unsigned char>(aText[0])) || aText[0] == '-')) {
      o.literal = std::stoll(aText);
      return o;
    }
    TnxFieldType type;
    TnxLocaleDescriptor* locale;
    std::int32_t decPl, units;
    o.handle = ResolveCheckColumn(platform::fromUtf8(aText), type, locale, decPl, units);
    if (o.handle < 0) throw EnxBaseSqlCheckStatementException(nxErrNotSupported, u"Unknown column");
    return o;
  }
  std::optional<std::int64_t> value(const Operand& aOperand) {
    if (aOperand.handle < 0) return aOperand.literal;
    platform::Variant v;
    GetCheckColumnValue(aOperand.handle, v);
    if (v.isNullOrEmpty()) return std::nullopt;
    return v.toInt64();
  }
  bool EvaluateCheck() override {
    if (onEvaluate) onEvaluate(*this);
    if (op.empty()) throw EnxBaseException(nxErrNotSupported, u"evaluation failed");
    const auto a = value(lhs), b = value(rhs);
    if (!a || !b) return true;  // unknown passes
    if (op == "=") return *a == *b;
    if (op == "<>") return *a != *b;
    if (op == "<") return *a < *b;
    if (op == ">") return *a > *b;
    if (op == "<=") return *a <= *b;
    return *a >= *b;
  }
  std::string op;
  Operand lhs, rhs;
};
PL_CLASS_INFO_IMPL_TABLE(TnxTestCheckStatement, TnxBaseSqlCheckStatement, "TnxTestCheckStatement", nullptr,
                         platform::bindClassTable(nxSqlCheckStatementFuncs<TnxTestCheckStatement>))

// A validation whose class has no engine.
class TnxOrphanValidationDescriptor : public TnxBaseFieldValidationDescriptor {
  PL_CLASS_INFO_DECL()
 public:
  using TnxBaseFieldValidationDescriptor::TnxBaseFieldValidationDescriptor;
};
PL_CLASS_INFO_IMPL_TABLE(TnxOrphanValidationDescriptor, TnxBaseFieldValidationDescriptor,
                         "TnxOrphanValidationDescriptor", nullptr,
                         platform::bindClassTable(nxValidationDescriptorFuncs<TnxOrphanValidationDescriptor>))

namespace {

using namespace nxsdtest;
using Handler = TnxOwned<TnxValidationsHandler>;
using Record = std::vector<std::uint8_t>;

class ValidationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    nxllUtilsInitialize();
    nxsdDataDictionaryInitialize(std::span<const nxString>());
    d = newDictionary();
    fields = d->FieldsDescriptor();
  }
  void TearDown() override {
    nxResetSqlCheckStatementClass(TnxTestCheckStatement::staticClassInfo());
    TnxTestCheckStatement::blobs = false;
    TnxTestCheckStatement::onEvaluate = nullptr;
    d.reset();
    nxsdDataDictionaryFinalize();
    nxllUtilsFinalize();
  }

  TnxFieldDescriptor* addField(const nxString& aName, TnxFieldType aType, std::int32_t aUnits = 0,
                               bool aRequired = false) {
    return fields->AddField(aName, u"", aType, aUnits, 0, aRequired);
  }
  Record newRecord() {
    Record r(static_cast<std::size_t>(fields->RecordLength()));
    fields->InitRecord(r.data());
    return r;
  }
  // aValues: one per field, nullopt = NULL.
  Record record(std::initializer_list<std::optional<std::int32_t>> aValues) {
    Record r = newRecord();
    std::int32_t f = 0;
    for (const auto& v : aValues) {
      if (v) fields->SetRecordField(f, r.data(), &*v);
      ++f;
    }
    return r;
  }
  Record textRecord(const char16_t* aText) {
    Record r = newRecord();
    fields->fsdSetFieldByIndexAsVariant(r.data(), 0, platform::Variant(aText));
    return r;
  }
  TnxSqlCheckValidationDescriptor* tableCheck(const nxString& aName, const nxString& aConstraint) {
    auto* check = static_cast<TnxSqlCheckValidationDescriptor*>(
        fields->EnsureValidations()->AddValidation(aName, &TnxSqlCheckValidationDescriptor::staticClassInfo()));
    check->SetConstraint(aConstraint);
    return check;
  }
  Handler serverHandler() { return Handler(TnxValidationsHandler::CreateFor(fields, aaServer, nullptr)); }

  DictPtr d;
  TnxFieldsDescriptor* fields = nullptr;
};

template <class E>
void expectViolation(TnxValidationsHandler& aHandler, const Record* aOld, const Record& aNew, TnxResult aCode,
                     const nxString& aMessage) {
  expectCode<E>([&] { aHandler.ValidateRecord(aOld ? aOld->data() : nullptr, aNew.data()); }, aCode, aMessage);
}

TEST_F(ValidationTest, NoHandlerWithoutValidationsOrRequiredFields) {
  addField(u"A", nxtInt32);
  EXPECT_EQ(TnxValidationsHandler::CreateFor(fields, aaServer, nullptr), nullptr);
  EXPECT_EQ(TnxValidationsHandler::CreateFor(fields, aaClient, nullptr), nullptr);
}

TEST_F(ValidationTest, RequiredFieldIsCheckedOnTheServerOnly) {
  addField(u"ID", nxtInt32, 0, true);
  addField(u"NAME", nxtInt32);
  // The client cannot know what the server's defaults fill in.
  EXPECT_EQ(TnxValidationsHandler::CreateFor(fields, aaClient, nullptr), nullptr);
  Handler h = serverHandler();
  ASSERT_TRUE(h);
  EXPECT_EQ(h->FieldEngine(0)->Engines(0)->Name(), u"$required");
  EXPECT_EQ(h->FieldEngine(1), nullptr);
  h->ValidateRecord(nullptr, record({1, std::nullopt}).data());
  expectViolation<EnxNotNullValidationEngineException>(
      *h, nullptr, record({std::nullopt, 2}), nxErrRequiredField,
      u"Field validation \"$required\" for field \"ID\" failed: Field value required.");

  // The placeholder of the standard text takes the older form for old peers.
  auto* required = static_cast<TnxBaseFieldValidationEngine*>(h->FieldEngine(0)->Engines(0));
  nxString text;
  required->GetErrorText(text);
  EXPECT_EQ(text, u"<[!Org!]>");
  nxThreadVersionOverride = 41100;
  required->GetErrorText(text);
  nxThreadVersionOverride = 0;
  EXPECT_EQ(text, u"<[!\u00FEOrg\u00FE!>");
}

TEST_F(ValidationTest, MinMaxPassesNullAndBoundsAndRaisesOutside) {
  addField(u"SCORE", nxtInt32);
  auto* mm = static_cast<TnxMinMaxValidationDescriptor*>(
      fields->Fields(0)->EnsureValidations()->AddValidation(u"Range", &TnxMinMaxValidationDescriptor::staticClassInfo()));
  mm->AddKeyField();
  mm->SetMinAsVariant(platform::Variant(10));
  mm->SetMaxAsVariant(platform::Variant(20));
  Handler h = serverHandler();
  ASSERT_TRUE(h);
  for (std::optional<std::int32_t> ok : {std::optional<std::int32_t>(), std::optional(10), std::optional(15),
                                         std::optional(20)})
    h->ValidateRecord(nullptr, record({ok}).data());
  expectViolation<EnxMinMaxValidationEngineException>(
      *h, nullptr, record({9}), nxErrMinValidity,
      u"Field validation \"Range\" for field \"SCORE\" failed: Minimum validity check failed.");
  expectViolation<EnxMinMaxValidationEngineException>(*h, nullptr, record({21}), nxErrMaxValidity,
                                                      u"Maximum validity check failed.");

  // Only one bound: the other side is open.
  mm->SetMinAsVariant(platform::Variant());
  h = serverHandler();
  h->ValidateRecord(nullptr, record({-1000}).data());
}

TEST_F(ValidationTest, MinMaxComparesAsItsKeyField) {
  addField(u"CODE", nxtWideString, 4);
  auto* mm = static_cast<TnxMinMaxValidationDescriptor*>(
      fields->Fields(0)->EnsureValidations()->AddValidation(u"Letters", &TnxMinMaxValidationDescriptor::staticClassInfo()));
  auto* key = static_cast<TnxTextKeyFieldDescriptor*>(mm->AddKeyField(&TnxExtTextKeyFieldDescriptor::staticClassInfo()));
  mm->SetMinAsVariant(platform::Variant(u"b"));
  mm->SetMaxAsVariant(platform::Variant(u"m"));

  key->SetIgnoreCase(true);
  Handler insensitive = serverHandler();
  for (const char16_t* text : {u"B", u"M", u"c"}) insensitive->ValidateRecord(nullptr, textRecord(text).data());
  expectCode<EnxMinMaxValidationEngineException>(
      [&] { insensitive->ValidateRecord(nullptr, textRecord(u"N").data()); }, nxErrMaxValidity);

  // With case, an upper-case bound letter lies outside one of the two bounds.
  key->SetIgnoreCase(false);
  Handler sensitive = serverHandler();
  std::int32_t failures = 0;
  for (const char16_t* text : {u"B", u"M"}) {
    try {
      sensitive->ValidateRecord(nullptr, textRecord(text).data());
    } catch (const EnxMinMaxValidationEngineException&) {
      ++failures;
    }
  }
  EXPECT_GE(failures, 1);
}

TEST_F(ValidationTest, NoChange) {
  addField(u"FIXED", nxtInt32);
  auto* nc = static_cast<TnxNoChangeValidationDescriptor*>(
      fields->Fields(0)->EnsureValidations()->AddValidation(u"Frozen", &TnxNoChangeValidationDescriptor::staticClassInfo()));
  nc->AddKeyField();
  Handler h = serverHandler();
  ASSERT_TRUE(h);
  const Record null = record({std::nullopt}), one = record({1}), two = record({2});
  h->ValidateRecord(nullptr, one.data());  // insert
  h->ValidateRecord(one.data(), nullptr);  // delete
  h->ValidateRecord(null.data(), one.data());
  h->ValidateRecord(one.data(), one.data());
  h->ValidateRecord(null.data(), null.data());
  expectViolation<EnxNoChangeValidationEngineException>(
      *h, &one, two, nxErrReadOnlyField,
      u"Field validation \"Frozen\" for field \"FIXED\" failed: Trying to modify read-only field.");
  expectViolation<EnxNoChangeValidationEngineException>(*h, &one, null, nxErrReadOnlyField, u"");
}

TEST_F(ValidationTest, TableCheck) {
  ASSERT_TRUE(nxInstallSqlCheckStatementClass(TnxTestCheckStatement::staticClassInfo()));
  addField(u"LO", nxtInt32);
  addField(u"HI", nxtInt32);
  tableCheck(u"Ordered", u"LO < HI");
  Handler h = serverHandler();
  ASSERT_TRUE(h);
  ASSERT_NE(h->FieldsEngine(), nullptr);
  h->ValidateRecord(nullptr, record({1, 2}).data());
  h->ValidateRecord(nullptr, record({std::nullopt, 2}).data());  // unknown passes
  expectViolation<EnxSqlCheckValidationEngineException>(
      *h, nullptr, record({3, 2}), nxErrExprValidity, u"Fields validation \"Ordered\" failed: Expression validity check failed.");
  // Only the table level, or only a field (which has nothing here).
  const Record bad = record({3, 2});
  expectCode<EnxSqlCheckValidationEngineException>([&] { h->ValidateField(nullptr, bad.data(), -1); },
                                                   nxErrExprValidity);
  h->ValidateField(nullptr, bad.data(), 0);
}

TEST_F(ValidationTest, CheckMessagesAndFailingEvaluation) {
  ASSERT_TRUE(nxInstallSqlCheckStatementClass(TnxTestCheckStatement::staticClassInfo()));
  addField(u"A", nxtInt32);
  tableCheck(u"Positive", u"A > 0")->SetErrorMessage(u"A must be positive");
  tableCheck(u"Broken", u"RAISE");
  Handler h = serverHandler();
  expectViolation<EnxSqlCheckValidationEngineException>(*h, nullptr, record({0}), nxErrExprValidity,
                                                        u"Fields validation \"Positive\" failed: A must be positive");
  // A raising evaluation counts as a failed check, and the statement is
  // ready for the next call.
  expectViolation<EnxSqlCheckValidationEngineException>(
      *h, nullptr, record({5}), nxErrExprValidity, u"Fields validation \"Broken\" failed: Expression validity check failed.");
  expectViolation<EnxSqlCheckValidationEngineException>(*h, nullptr, record({0}), nxErrExprValidity,
                                                        u"A must be positive");
}

TEST_F(ValidationTest, FieldLevelCheckSeesNewAndOld) {
  ASSERT_TRUE(nxInstallSqlCheckStatementClass(TnxTestCheckStatement::staticClassInfo()));
  addField(u"QTY", nxtInt32);
  addField(u"MAXQTY", nxtInt32);
  auto* grows = static_cast<TnxSqlCheckValidationDescriptor*>(
      fields->Fields(0)->EnsureValidations()->AddValidation(u"Grows", &TnxSqlCheckValidationDescriptor::staticClassInfo()));
  grows->SetConstraint(u"NEW >= OLD");
  auto* capped = static_cast<TnxSqlCheckValidationDescriptor*>(
      fields->Fields(0)->EnsureValidations()->AddValidation(u"Capped", &TnxSqlCheckValidationDescriptor::staticClassInfo()));
  capped->SetConstraint(u"qty <= OLD$MAXQTY");
  Handler h = serverHandler();
  ASSERT_TRUE(h);
  const Record old = record({5, 10});
  h->ValidateRecord(old.data(), record({6, 0}).data());
  h->ValidateRecord(nullptr, record({1, 0}).data());  // no OLD on insert: unknown
  expectViolation<EnxSqlCheckValidationEngineException>(
      *h, &old, record({4, 10}), nxErrExprValidity,
      u"Field validation \"Grows\" for field \"QTY\" failed: Expression validity check failed.");
  expectViolation<EnxSqlCheckValidationEngineException>(*h, &old, record({11, 99}), nxErrExprValidity,
                                                        u"\"Capped\"");
}

TEST_F(ValidationTest, CheckWithoutStatementClassFailsAtTheFirstCheck) {
  addField(u"A", nxtInt32);
  tableCheck(u"Any", u"A > 0");
  Handler h = serverHandler();  // building succeeds
  ASSERT_TRUE(h);
  EXPECT_EQ(static_cast<TnxSqlCheckValidationEngine*>(h->FieldsEngine()->Engines(0))->Statement(), nullptr);
  expectCode<EnxSqlCheckValidationEngineException>([&] { h->ValidateRecord(nullptr, record({1}).data()); },
                                                   nxErrNotSupported,
                                                   u"Evaluation of CHECK constraint requires an SQL engine");
  // Installing the class later does not help an engine built without it.
  ASSERT_TRUE(nxInstallSqlCheckStatementClass(TnxTestCheckStatement::staticClassInfo()));
  expectCode<EnxSqlCheckValidationEngineException>([&] { h->ValidateRecord(nullptr, record({1}).data()); },
                                                   nxErrNotSupported);
}

TEST_F(ValidationTest, StatementClassIsInstalledOnceAndResetOnlyByItsOwner) {
  EXPECT_EQ(SqlCheckStatementClass.load(), nullptr);
  EXPECT_TRUE(nxInstallSqlCheckStatementClass(TnxTestCheckStatement::staticClassInfo()));
  EXPECT_FALSE(nxInstallSqlCheckStatementClass(TnxBaseSqlCheckStatement::staticClassInfo()));
  EXPECT_EQ(SqlCheckStatementClass.load(), &TnxTestCheckStatement::staticClassInfo());
  EXPECT_FALSE(nxResetSqlCheckStatementClass(TnxBaseSqlCheckStatement::staticClassInfo()));
  EXPECT_EQ(SqlCheckStatementClass.load(), &TnxTestCheckStatement::staticClassInfo());
  EXPECT_TRUE(nxResetSqlCheckStatementClass(TnxTestCheckStatement::staticClassInfo()));
  EXPECT_EQ(SqlCheckStatementClass.load(), nullptr);
}

TEST_F(ValidationTest, ResolveCheckColumn) {
  addField(u"A", nxtInt32);
  addField(u"B", nxtWideString, 10);
  addField(u"MEMO", nxtBlobMemo);
  struct Case {
    TnxFieldDescriptor* field;  // nil: table level
    const char16_t* name;
    bool blobs;
    std::int32_t handle;
  };
  TnxFieldDescriptor* b = fields->Fields(1);
  const Case cases[] = {
      {b, u"NEW", false, 0xFFFF},     {b, u"old", false, 0x1FFFF},  {b, u"A", false, 0},
      {b, u"OLD$a", false, 0x10000},  {nullptr, u"NEW", false, -1},  {nullptr, u"b", false, 1},
      {nullptr, u"Old$B", false, 0x10001}, {nullptr, u"MEMO", false, -1}, {nullptr, u"MEMO", true, 2},
      {nullptr, u"OLD$MEMO", true, 0x10002},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(platform::toUtf8(c.name));
    TnxTestCheckStatement::blobs = c.blobs;
    TnxOwned<TnxTestCheckStatement> s(platform::create<TnxTestCheckStatement>(fields, c.field, nullptr, u"RAISE"));
    TnxFieldType type = nxtBoolean;
    TnxLocaleDescriptor* locale = nullptr;
    std::int32_t decPl = -1, units = -1;
    const std::int32_t handle = s->ResolveCheckColumn(c.name, type, locale, decPl, units);
    if (c.handle == -1) {
      EXPECT_LT(handle, 0);
      continue;
    }
    EXPECT_EQ(handle, c.handle);
    const std::int32_t column = (handle & 0xFFFF) == 0xFFFF ? b->fdNumber : handle & 0xFFFF;
    EXPECT_EQ(type, fields->Fields(column)->fdType);
    EXPECT_EQ(units, fields->Fields(column)->fdUnits);
  }
}

TEST_F(ValidationTest, CheckColumnValues) {
  addField(u"A", nxtInt32);
  addField(u"B", nxtInt32);
  addField(u"MEMO", nxtBlobMemo);
  TnxOwned<TnxTestCheckStatement> s(platform::create<TnxTestCheckStatement>(fields, fields->Fields(1), nullptr,
                                                                            u"A = 1"));
  struct Case {
    std::int32_t handle;
    std::optional<std::int64_t> value;  // nullopt: Null
  };
  // Old record (1, 2), new record (3, NULL): the checked field is B.
  const Case cases[] = {{0, 3},       {1, std::nullopt}, {0x10000, 1}, {0x10001, 2},
                        {0xFFFF, std::nullopt}, {0x1FFFF, 2}, {2, std::nullopt}, {7, std::nullopt},
                        {0x10007, std::nullopt}};
  std::int32_t calls = 0;
  TnxTestCheckStatement::onEvaluate = [&](TnxTestCheckStatement& aStatement) {
    ++calls;
    for (const Case& c : cases) {
      platform::Variant v;
      aStatement.GetCheckColumnValue(c.handle, v);
      if (c.value)
        EXPECT_EQ(v.toInt64(), *c.value) << c.handle;
      else
        EXPECT_TRUE(v.isNull()) << c.handle;
    }
  };
  const Record old = record({1, 2}), now = record({3, std::nullopt});
  EXPECT_FALSE(s->ValidateField(fields->GetRecordFieldForFilter(1, old.data()), old.data(), nullptr, now.data()));
  EXPECT_EQ(calls, 1);
  // Outside a call every column is Null.
  TnxTestCheckStatement::onEvaluate = nullptr;
  platform::Variant v;
  s->GetCheckColumnValue(0x10000, v);
  EXPECT_TRUE(v.isNull());
}

TEST_F(ValidationTest, UnknownEngineClasses) {
  addField(u"A", nxtInt32);
  fields->Fields(0)->EnsureValidations()->AddValidation(u"Odd", &TnxOrphanValidationDescriptor::staticClassInfo());
  expectCode<EnxBaseFieldValidationEngineException>([&] { serverHandler(); }, nxErrUnsupportedSubEngine,
                                                    u"Unknown Validation engine: \"TnxOrphanValidationEngine\"");
  // On the client the validation does not apply: no engine is looked for.
  EXPECT_EQ(TnxValidationsHandler::CreateFor(fields, aaClient, nullptr), nullptr);
}

}  // namespace
