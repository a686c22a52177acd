// The SQL grammar as text, and the reader that turns grammar text into the
// nodes both walks interpret. The alternative numbers are the contract with
// the statement compiler: never reorder alternatives. Rules marked "@" keep
// their results per token position (see the memo in nxSQLParse.h): the ones
// that ordered choice tries again at the same token.
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "nxSQLParse.h"
#include "nxSQLTok.h"
#include "nxllException.h"

namespace {

constexpr std::string_view kSqlGrammar = R"GRAMMAR(
Script =
    { LoggingSwitch | TimeoutPragma | OptionPragma | VerboseLoggingSwitch | FeatureSwitch }
    { [ Statement ] // ';' }+ [ ';' ] <eof>
Statement = { CopyBlobsSwitch | IndexesSwitch | SimplifySwitch } SqlStatement
SqlStatement =
     0: InsertStatement
  |  1: UpdateStatement
  |  2: DeleteStatement
  |  3: LogStatement
  |  4: CreateStatement
  |  5: DropStatement
  |  6: AlterStatement
  |  7: Assertion
  |  8: TableExp
  |  9: ReturnStatement
  | 10: DeclareStatement
  | 11: SetStatement
  | 12: LeaveStatement
  | 13: IterateStatement
  | 14: IfStatement
  | 15: WhileStatement
  | 16: RepeatStatement
  | 17: CallStatement
  | 18: RoutineCall
  | 19: StartTransaction
  | 20: CommitStatement
  | 21: RollbackStatement
  | 22: TryStatement
  | 23: SignalStatement
  | 24: SetPasswords
  | 25: UseStatement
  | 26: CompoundStatement
  | 27: ExecuteImmediate
  | 28: OpenStatement
  | 29: FetchStatement
  | 30: CloseStatement
  | 31: EnableStatement
StatementList = { SqlStatement // ';' }+ ';'
CompoundStatement = Block
Block = BEGIN [ [ NOT ] ATOMIC ] StatementList END

LoggingSwitch = #L ( '+' | '-' )
TimeoutPragma = #T <unsigned_integer_literal>
OptionPragma = #OPT '::' Identifier '::' Identifier [ '=' <character_string_literal> ]
VerboseLoggingSwitch = #V ( '+' | '-' )
FeatureSwitch = #F Name ( '+' | '-' )
CopyBlobsSwitch = #B ( '+' | '-' )
IndexesSwitch = #I ( '+' | '-' )
SimplifySwitch = #S ( '+' | '-' )

Name = Identifier | <quoted_name> | <quoted_temp_name>
ColumnName = Name
TableAlias = [ AS ] Name

DeclareStatement =
    DECLARE { Identifier // ',' }+ ( DataType [ DEFAULT DefaultValue ] | CURSOR FOR SelectStatement )
SetStatement = SET Name [ '.' Name ] '=' ( NULL | DEFAULT | CondExp )
IfStatement =
    IF CondExp THEN StatementList { ELSEIF CondExp THEN StatementList } [ ELSE StatementList ] END IF
WhileStatement = WHILE CondExp DO StatementList END WHILE
RepeatStatement = REPEAT StatementList UNTIL CondExp END REPEAT
LeaveStatement = LEAVE
IterateStatement = ITERATE
ReturnStatement = RETURN [ CondExp | NestedTableExp ]
@NestedTableExp = '(' NestedTableExp ')' | TableExp
TryStatement = TRY StatementList { CATCH CondExp [ StatementList ] }+ END
SignalStatement = SIGNAL SimpleExpression
OpenStatement = OPEN Identifier
FetchStatement =
    FETCH [ CURRENT | NEXT | PRIOR | FIRST | LAST | ABSOLUTE SimpleExpression | RELATIVE SimpleExpression ]
    FROM Identifier INTO { Identifier // ',' }+
CloseStatement = CLOSE ( INACTIVE ( TABLES | FOLDERS ) | Identifier )

CallStatement = CALL Name [ '.' Name ] '(' { SimpleExpression // ',' } ')'
RoutineCall = Name [ '.' Name ] '(' { SimpleExpression // ',' } ')'
ExecuteImmediate = EXECUTE IMMEDIATE SimpleExpression
LogStatement = LOGMESSAGE '(' { SimpleExpression // ',' } ')'

StartTransaction = START TRANSACTION [ SERIALIZABLE | SNAPSHOT ]
CommitStatement = COMMIT [ WORK ]
RollbackStatement = ROLLBACK [ WORK ]
UseStatement = USE ( Name | DEFAULT_ALIAS )
SetPasswords = SET PASSWORDS [ [ ADD | REMOVE ] PasswordList ]
PasswordList = { <character_string_literal> // ',' }+
EnableStatement = ( ENABLE | DISABLE ) ( TRIGGER | PROCEDURE | FUNCTION ) ( ALL | Name )
Assertion = ASSERT TABLE Name '=' TABLE Name [ IGNORE ORDER ]

@TableExp =
    ( 0: JoinOperand JoinClause { JoinClause } [ TableAlias ]
    | 1: NonJoinTableExp
    | 2: '(' TableExp ')' [ TableAlias ]
    )
    { ( UNION | EXCEPT ) [ ALL | DISTINCT ] NonJoinTableTerm }
@JoinTableExp = JoinOperand JoinClause { JoinClause } [ TableAlias ] | '(' TableExp ')' [ TableAlias ]
JoinClause =
     0: CROSS JOIN JoinOperand
  |  1: [ NATURAL ] [ INNER | LEFT [ OUTER ] | RIGHT [ OUTER ] | FULL [ OUTER ] ] JOIN JoinOperand
        [ ON CondExp | USING '(' UsingList ')' ]
@JoinOperand = TableRef | '(' TableExp ')' [ TableAlias ]
UsingList = { UsingColumn // ',' }+
UsingColumn = Name
@NonJoinTableExp = NonJoinTableTerm
NonJoinTableTerm = NonJoinTablePrimary { INTERSECT [ ALL | DISTINCT ] NonJoinTablePrimary }
@NonJoinTablePrimary = SelectStatement | '(' NonJoinTableExp ')' | TABLE '(' RoutineCall ')'
@NestedSelect = '(' NestedSelect ')' | SelectStatement

@SelectStatement =
    SELECT [ ALL | DISTINCT ]
    [ TOP ( ( '?' | ':' Name ) | SimpleExpression | <unsigned_integer_literal> ) [ PERCENT ]
      [ ',' ( ( '?' | ':' Name ) | SimpleExpression | <unsigned_integer_literal> ) ] ]
    SelectionList [ INTO Name [ '.' Name ] ] FROM TableRefList [ WHERE CondExp ] [ GROUP BY GroupColumnList ]
    [ HAVING CondExp ] [ ORDER BY OrderList ]
SelectionList = { Selection // ',' }+
Selection = '*' | CondExp [ ColumnAlias ]
ColumnAlias = [ AS ] ColumnName
TableRefList = { FromItem // ',' }+
FromItem = ( JoinTableExp | TableRef ) [ '(' ColumnNameList ')' ]
@TableRef =
     0: Name [ '.' Name ] [ TableAlias ]
  |  1: TABLE '(' Name [ '.' Name ] '(' { SimpleExpression // ',' } ')' ')' TableAlias
GroupColumnList = { GroupColumn // ',' }+
GroupColumn = Name [ '.' Name ] Collation
OrderList = { OrderItem // ',' }+
OrderItem = ( OrderColumn | <unsigned_integer_literal> ) OrderOptions
OrderColumn = Name [ '.' Name ]
OrderOptions = Collation { IGNORE CASE } [ ASC | DESC ] [ NULLS ( FIRST | LAST | ONLY ) | NO NULLS ]
Collation = [ ( COLLATE <character_string_literal> | LOCALE <unsigned_integer_literal> ) CompareFlags ]
CompareFlags = { IGNORE ( KANA TYPE | NONSPACE | SYMBOLS | WIDTH ) } [ USE STRING SORT ]

InsertStatement =
    INSERT INTO Name [ '.' Name ] ( DEFAULT VALUES | [ '(' ColumnNameList ')' ] ( ValuesClause | TableExp ) )
ColumnNameList = { ColumnNameItem // ',' }+
ColumnNameItem = Name
ValuesClause = VALUES { '(' ValueList ')' // ',' }+
ValueList = { ValueItem // ',' }+
ValueItem = DEFAULT | NULL | SimpleExpression
UpdateStatement = UPDATE TableRef SET UpdateList [ WHERE CondExp ]
UpdateList = { UpdateItem // ',' }+
UpdateItem = Name [ '.' Name ] '=' ( NULL | SimpleExpression | DEFAULT )
DeleteStatement = DELETE FROM TableRef [ WHERE CondExp ]

@CondExp = { CondTerm // OR }+
CondTerm = { CondFactor // AND }+
CondFactor = [ NOT ] CondPrimary
CondPrimary =
     0: ExistsPredicate
  |  1: UniquePredicate
  |  2: ContainsPredicate
  |  3: SimpleExpression
        [ ( 0: ComparisonClause
          | 1: [ NOT ] BetweenClause
          | 2: [ NOT ] LikeClause
          | 3: [ NOT ] SimilarClause
          | 4: [ NOT ] InClause
          | 5: MatchClause
          | 6: IsClause
          ) ]
ComparisonClause = ( '=' | '<=' | '<' | '>' | '>=' | '<>' | '%' | '%%' ) ( AllOrAnyClause | SimpleExpression )
AllOrAnyClause = ( ALL | ANY | SOME ) '(' SelectStatement ')'
BetweenClause = BETWEEN SimpleExpression AND SimpleExpression
LikeClause = LIKE SimpleExpression [ ESCAPE SimpleExpression ] [ IGNORE CASE ]
SimilarClause = SIMILAR [ TO ] SimpleExpression [ IGNORE CASE ]
InClause = IN '(' ( SelectStatement | SimpleExpressionList ) ')'
SimpleExpressionList = { SimpleExpression // ',' }+
MatchClause = MATCH [ UNIQUE ] [ PARTIAL | FULL | SIMPLE ] '(' SelectStatement ')'
IsClause = IS [ NOT ] ( NULL | TRUE | FALSE | UNKNOWN )
ExistsPredicate = EXISTS '(' SelectStatement ')'
UniquePredicate = UNIQUE '(' TableExp ')'
ContainsPredicate = CONTAINS '(' Name ',' FullTextSearchCondition ')'
FullTextSearchCondition = { FullTextSearchTerm // OR }
FullTextSearchTerm = { FullTextSearchFactor // AND }
FullTextSearchFactor = [ NOT ] [ STARTS WITH ] SimpleExpression

@SimpleExpression = { Term // ( '+' | '-' | '||' ) }+
Term = { Factor // ( '*' | '/' ) }+
Factor =
    [ '-' ]
    ( 0: ( 0: StringLiteral
         | 1: IntegerLiteral
         | 2: FloatLiteral
         | 3: BooleanLiteral
         | 4: DateLiteral
         | 5: IsoDateLiteral
         | 6: TimeLiteral
         | 7: TimestampLiteral
         | 8: IntervalLiteral
         | 9: BlobLiteral
         | 10: GuidLiteral
         | 11: UnicodeLiteral
         | 12: NULL
         )
    | 1: BuiltinFunction
    | 2: FieldReference
    | 3: Aggregate
    | 4: ParenthesizedExpression
    | 5: '?'
    | 6: ':' Name
    )
ParenthesizedExpression = '(' ( CondExp | SelectStatement ) ')'
FieldReference = Name [ '.' ( Name [ '.' Name ] | '*' ) ] [ ArgumentList ]
ArgumentList = '(' { SimpleExpression // ',' } ')'
Aggregate =
     0: COUNT '(' ( '*' | [ ALL | DISTINCT ] SimpleExpression ) ')'
  |  1: ( 0: MIN
        | 1: MAX
        | 2: SUM
        | 3: AVG
        | 4: MED
        | 5: WINSORIZED_MEAN
        | 6: WINSORIZED_MEAN_TOP
        | 7: WINSORIZED_MEAN_BOTTOM
        | 8: STD
        | 9: LIST
        )
        '(' [ ALL | DISTINCT ] SimpleExpression ')'

StringLiteral = { [ N ] <character_string_literal> }+
UnicodeLiteral = U '&' { <character_string_literal> }+ [ UESCAPE <character_string_literal> ]
IntegerLiteral = <unsigned_integer_literal>
SignedIntegerLiteral = [ '-' ] <unsigned_integer_literal>
FloatLiteral = <float_literal>
SignedFloatLiteral = [ '-' ] <float_literal>
BooleanLiteral = TRUE | FALSE | UNKNOWN
DateLiteral = DATE <character_string_literal>
IsoDateLiteral = ISODATE <character_string_literal>
TimeLiteral = TIME <character_string_literal>
TimestampLiteral = ( DATETIME | TIMESTAMP ) <character_string_literal>
IntervalLiteral =
    INTERVAL [ '+' | '-' ] ( ( '?' | ':' Name ) | <character_string_literal> )
    ( YEAR | MONTH | DAY | HOUR | MINUTE | SECOND ) [ TO ( YEAR | MONTH | DAY | HOUR | MINUTE | SECOND ) ]
BlobLiteral = X { <character_string_literal> }+ | <bracketed_binary_string_literal>
GuidLiteral = GUID <character_string_literal>
DefaultValue =
     0: NULL
  |  1: ( 0: SignedFloatLiteral
        | 1: SignedIntegerLiteral
        | 2: StringLiteral
        | 3: DateLiteral
        | 4: IsoDateLiteral
        | 5: TimeLiteral
        | 6: TimestampLiteral
        | 7: IntervalLiteral
        | 8: BooleanLiteral
        | 9: BlobLiteral
        | 10: GuidLiteral
        | 11: NULL
        )
  |  2: EMPTY
  |  3: CURRENT_DATE
  |  4: CURRENT_TIME
  |  5: LOCALTIME
  |  6: CURRENT_TIMESTAMP
  |  7: CURRENT_DATETIME
  |  8: LOCALTIMESTAMP
  |  9: NEWGUID
  | 10: CURRENT_USER
  | 11: USER
  | 12: SESSION_USER
  | 13: NEXTLSN

BuiltinFunction = <slot>
CreateStatement = <slot>
DropStatement = <slot>
AlterStatement = <slot>
DataType = <slot>
)GRAMMAR";

[[noreturn]] void grammarFault(const std::string& aWhat) {
  throw EnxBaseException(platform::fromUtf8("SQL grammar: " + aWhat));
}

}  // namespace

// Recursive descent over the grammar notation.
class TSqlGrammarReader {
 public:
  TSqlGrammarReader(TSqlGrammar& aGrammar, std::string_view aText) : G(aGrammar), Text(aText) {
    const auto names = nxSqlTokenNames();
    if (names.size() != std::size_t(kSqlTokenKindCount)) grammarFault("token names are not started");
    for (std::int32_t k = 0; k < kSqlTokenKindCount; ++k) Kinds.emplace(platform::toUtf8(names[std::size_t(k)]), k);
  }

  void Read() {
    // Split into rules: a rule starts on a line that does not begin with a blank.
    std::vector<std::string> chunks;
    std::size_t at = 0;
    while (at < Text.size()) {
      std::size_t end = Text.find('\n', at);
      if (end == std::string_view::npos) end = Text.size();
      const std::string_view line = Text.substr(at, end - at);
      if (!line.empty() && line[0] != ' ')
        chunks.emplace_back(line);
      else if (!line.empty() && !chunks.empty())
        chunks.back().append(" ").append(line);
      at = end + 1;
    }
    // Names first, so that rules may refer to rules defined later.
    for (const std::string& c : chunks) {
      const std::size_t eq = c.find(" = ");
      if (eq == std::string::npos) grammarFault("no '=' in: " + c);
      TSqlGrammarRule r;
      r.Name = c.substr(0, eq);
      if (!r.Name.empty() && r.Name[0] == '@') {
        r.Name.erase(0, 1);
        r.MemoSlot = G.FMemoRules++;
      }
      if (G.RuleIndex(r.Name) >= 0) grammarFault("rule defined twice: " + r.Name);
      G.Rules.push_back(std::move(r));
    }
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      Src = chunks[i];
      Pos = Src.find(" = ") + 3;
      Next();
      G.Rules[i].Body = ReadChoice();
      if (!Tok.empty()) grammarFault("unexpected '" + Tok + "' in rule " + G.Rules[i].Name);
    }
  }

 private:
  std::int32_t AddNode(TSqlGrammarOp aOp, std::int32_t aArg, const std::vector<std::int32_t>& aKids) {
    TSqlGrammarNode n{aOp, aArg, std::int32_t(G.Kids.size()), std::int32_t(aKids.size())};
    G.Kids.insert(G.Kids.end(), aKids.begin(), aKids.end());
    G.Nodes.push_back(n);
    return std::int32_t(G.Nodes.size() - 1);
  }

  // The next lexeme into Tok; empty at the end.
  void Next() {
    while (Pos < Src.size() && Src[Pos] == ' ') ++Pos;
    Tok.clear();
    if (Pos >= Src.size()) return;
    const char c = Src[Pos];
    if (c == '\'') {
      const std::size_t end = Src.find('\'', Pos + 1);
      if (end == std::string::npos) grammarFault("unterminated quote in " + Src);
      Tok = Src.substr(Pos, end + 1 - Pos);
      Pos = end + 1;
    } else if (c == '<') {
      const std::size_t end = Src.find('>', Pos);
      if (end == std::string::npos) grammarFault("unterminated class in " + Src);
      Tok = Src.substr(Pos, end + 1 - Pos);
      Pos = end + 1;
    } else if (Src.compare(Pos, 2, "//") == 0 || Src.compare(Pos, 2, "}+") == 0) {
      Tok = Src.substr(Pos, 2);
      Pos += 2;
    } else if (std::strchr("|()[]{}", c)) {
      Tok = std::string(1, c);
      ++Pos;
    } else {
      const std::size_t start = Pos;
      while (Pos < Src.size() && Src[Pos] != ' ' && !std::strchr("|()[]{}'<", Src[Pos])) ++Pos;
      Tok = Src.substr(start, Pos - start);
    }
  }

  static bool IsLabel(const std::string& aTok, std::int32_t& aNumber) {
    if (aTok.size() < 2 || aTok.back() != ':') return false;
    aNumber = 0;
    for (std::size_t i = 0; i + 1 < aTok.size(); ++i) {
      if (!std::isdigit(static_cast<unsigned char>(aTok[i]))) return false;
      aNumber = aNumber * 10 + (aTok[i] - '0');
    }
    return true;
  }

  std::int32_t ReadChoice() {
    std::vector<std::int32_t> alts;
    for (;;) {
      std::int32_t label;
      if (IsLabel(Tok, label)) {
        if (label != std::int32_t(alts.size())) grammarFault("alternative " + Tok + " out of order in " + Src);
        Next();
      }
      alts.push_back(ReadSequence());
      if (Tok != "|") break;
      Next();
    }
    return alts.size() == 1 ? alts[0] : AddNode(TSqlGrammarOp::Choice, 0, alts);
  }

  std::int32_t ReadSequence() {
    std::vector<std::int32_t> items;
    while (!Tok.empty() && Tok != "|" && Tok != ")" && Tok != "]" && Tok != "}" && Tok != "}+" && Tok != "//")
      items.push_back(ReadItem());
    if (items.empty()) grammarFault("empty sequence in " + Src);
    return items.size() == 1 ? items[0] : AddNode(TSqlGrammarOp::Seq, 0, items);
  }

  void Close(const char* aClose) {
    if (Tok != aClose) grammarFault(std::string("missing ") + aClose + " in " + Src);
    Next();
  }

  std::int32_t ReadItem() {
    const std::string t = Tok;
    if (t == "(") {
      Next();
      const std::int32_t inner = ReadChoice();
      Close(")");
      return inner;
    }
    if (t == "[") {
      Next();
      const std::int32_t inner = ReadChoice();
      Close("]");
      return AddNode(TSqlGrammarOp::Option, 0, {inner});
    }
    if (t == "{") {
      Next();
      const std::int32_t item = ReadChoice();
      std::int32_t sep = -1;
      if (Tok == "//") {
        Next();
        sep = ReadChoice();
      }
      const bool plus = Tok == "}+";
      if (Tok != "}" && !plus) grammarFault("missing } in " + Src);
      Next();
      if (sep >= 0) return AddNode(plus ? TSqlGrammarOp::List : TSqlGrammarOp::List0, 0, {item, sep});
      return AddNode(plus ? TSqlGrammarOp::Repeat1 : TSqlGrammarOp::Repeat, 0, {item});
    }
    Next();
    if (t == "<slot>") return AddNode(TSqlGrammarOp::Fail, 0, {});
    if (t[0] == '\'' || t[0] == '<') {
      const std::string name = t[0] == '\'' ? t.substr(1, t.size() - 2) : t;
      return AddNode(TSqlGrammarOp::Token, KindOf(name), {});
    }
    if (t == "Identifier") return AddNode(TSqlGrammarOp::Identifier, 0, {});
    bool lower = false;
    for (const char c : t) lower = lower || std::islower(static_cast<unsigned char>(c));
    if (!lower) return AddNode(TSqlGrammarOp::Token, KindOf(t), {});
    const std::int32_t rule = G.RuleIndex(t);
    if (rule < 0) grammarFault("unknown rule " + t);
    return AddNode(TSqlGrammarOp::Rule, rule, {});
  }

  std::int32_t KindOf(const std::string& aName) const {
    const auto it = Kinds.find(aName);
    if (it == Kinds.end()) grammarFault("unknown token " + aName);
    return it->second;
  }

  TSqlGrammar& G;
  std::string_view Text;
  std::map<std::string, std::int32_t> Kinds;
  std::string Src;
  std::size_t Pos = 0;
  std::string Tok;
};

TSqlGrammar::TSqlGrammar(std::string_view aText) {
  TSqlGrammarReader reader(*this, aText);
  reader.Read();
}

std::int32_t TSqlGrammar::RuleIndex(std::string_view aName) const {
  for (std::size_t i = 0; i < Rules.size(); ++i)
    if (Rules[i].Name == aName) return std::int32_t(i);
  return -1;
}

namespace {

std::mutex gGrammarLock;
std::int32_t gGrammarStarts = 0;
const TSqlGrammar* gGrammar = nullptr;

}  // namespace

void nxSQLParseInitialize() {
  std::lock_guard<std::mutex> guard(gGrammarLock);
  if (gGrammarStarts == 0) gGrammar = new TSqlGrammar(kSqlGrammar);
  ++gGrammarStarts;
}

void nxSQLParseFinalize() {
  std::lock_guard<std::mutex> guard(gGrammarLock);
  if (gGrammarStarts == 0) return;
  if (--gGrammarStarts == 0) {
    delete gGrammar;
    gGrammar = nullptr;
  }
}

bool nxSqlGrammarStarted() {
  std::lock_guard<std::mutex> guard(gGrammarLock);
  return gGrammar != nullptr;
}

const TSqlGrammar& nxSqlGrammar() {
  if (!gGrammar) throw EnxBaseException(u"SQL grammar is not started");
  return *gGrammar;
}
