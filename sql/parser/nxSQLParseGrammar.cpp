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

BuiltinFunction =
     0: CASE CaseBody
  |  1: CAST CastBody
  |  2: ( CHARACTER_LENGTH | CHAR_LENGTH ) '(' SimpleExpression [ USING ( CHARACTERS | OCTETS ) ] ')'
  |  3: OCTET_LENGTH '(' SimpleExpression ')'
  |  4: COALESCE CoalesceArguments
  |  5: EXTRACT '('
        ( 0: YEAR
        | 1: QUARTER
        | 2: MONTH
        | 3: DAY
        | 4: HOUR
        | 5: MINUTE
        | 6: SECOND
        | 7: DAYOFYEAR
        | 8: ISODAYOFWEEK
        | 9: ISOWEEK
        | 10: ISOMONTH
        | 11: ISOYEAR
        | 12: ISOWEEKOFMONTH
        | 13: ISODAYOFMONTH
        | 14: ISODAYOFYEAR
        )
        FROM SimpleExpression ')'
  |  6: NULLIF '(' SimpleExpression ',' SimpleExpression ')'
  |  7: POSITION '(' SimpleExpression IN SimpleExpression [ USING ( CHARACTERS | OCTETS ) ] ')'
  |  8: SUBSTRING '(' SimpleExpression SubstringTail ')'
  |  9: OVERLAY '(' SimpleExpression PLACING SimpleExpression
        ( IN ( YEAR | MONTH | DAY | HOUR | MINUTE | SECOND ) | SubstringTail ) ')'
  | 10: SYSTEM_ROW#
  | 11: TRIM '(' [ LEADING | TRAILING | BOTH ] [ SimpleExpression ] [ FROM SimpleExpression ] ')'
  | 12: DateConstructor
  | 13: IsoDateConstructor
CaseBody = ( SimpleExpression SimpleWhenClauseList | WhenClauseList ) [ ELSE ( NULL | SimpleExpression ) ] END
WhenClauseList = { WhenClause }+
WhenClause = WHEN CondExp THEN ( NULL | SimpleExpression )
SimpleWhenClauseList = { SimpleWhenClause }+
SimpleWhenClause = WHEN SimpleExpression THEN ( NULL | SimpleExpression )
CastBody = '(' ( NULL | SimpleExpression ) AS DataType ')'
CoalesceArguments = '(' { SimpleExpression // ',' }+ ')'
SubstringTail =
     0: FROM [ LEFT | RIGHT ] SimpleExpression [ ( FOR | TO ) [ LEFT | RIGHT ] SimpleExpression ]
        [ USING ( CHARACTERS | OCTETS ) ]
  |  1: SIMILAR [ TO ] SimpleExpression [ IGNORE CASE ] [ GROUP SimpleExpression ]
DateConstructor =
    DATE '(' [ DateDefaults ] DatePartValue [ YEAR ]
    [ ','
      ( 0: MonthName [ MONTH ] OverflowClause [ DayTail ]
      | 1: DatePartSelector
           ( QUARTER OverflowClause | DAYOFYEAR OverflowClause | [ MONTH ] OverflowClause [ DayTail ] )
      ) ]
    ')'
IsoDateConstructor =
    ISODATE '(' [ DateDefaults ] DatePartValue [ ISOYEAR ]
    [ ','
      ( 0: MonthName [ ISOMONTH ] OverflowClause [ IsoWeekTail ]
      | 1: DatePartSelector
           ( 0: ISODAYOFYEAR OverflowClause
           | 1: ISOMONTH OverflowClause [ IsoWeekTail ]
           | 2: [ ISOWEEK ] OverflowClause [ WeekdayTail ]
           )
      ) ]
    ')'
DateDefaults = DEFAULT [ DatePartSelector ] [ OverflowClause ] ','
DatePartValue = NULL | PREV | CURRENT | NEXT | [ EXTRACT FROM ] SimpleExpression
DatePartSelector = FIRST | LAST | DatePartValue
MonthName =
     0: ( JAN | JANUARY )
  |  1: ( FEB | FEBRUARY )
  |  2: ( MAR | MARCH )
  |  3: ( APR | APRIL )
  |  4: MAY
  |  5: ( JUN | JUNE )
  |  6: ( JUL | JULY )
  |  7: ( AUG | AUGUST )
  |  8: ( SEP | SEPTEMBER )
  |  9: ( OCT | OCTOBER )
  | 10: ( NOV | NOVEMBER )
  | 11: ( DEC | DECEMBER )
DayTail =
    ',' DatePartSelector
    [ DAY OverflowClause | OverflowClause [ WeekdaySelector [ ISODAYOFWEEK ] OverflowClause ] ]
IsoWeekTail =
    ',' DatePartSelector ( ISOWEEKOFMONTH OverflowClause [ WeekdayTail ] | [ ISODAYOFMONTH ] OverflowClause )
WeekdayTail = ',' WeekdaySelector [ ISODAYOFWEEK ] OverflowClause
WeekdaySelector = WeekdayName | DatePartSelector
WeekdayName =
     0: ( MO | MON | MONDAY )
  |  1: ( TU | TUE | TUES | TUESDAY )
  |  2: ( WE | WED | WEDNESDAY )
  |  3: ( TH | THU | THUR | THURSDAY )
  |  4: ( FR | FRI | FRIDAY )
  |  5: ( SA | SAT | SATURDAY )
  |  6: ( SU | SUN | SUNDAY )
OverflowClause = OverflowMode
OverflowMode = [ ( RESTRICT | SIGNAL | CASCADE ) [ OVERFLOW ] ]
CreateStatement =
    CREATE
    ( 0: [ OR ALTER ] ( CreateFunction | CreateProcedure | CreateTrigger | UserDefinition )
    | 1: ( CreateIndex | CreateTable | CreateView | CreateAssembly | CreateAlias )
    )
AlterStatement = ALTER ( AlterTable | AlterAlias | AlterSystemPassword | UserDefinition | AlterCurrentUser )
DropStatement =
    DROP
    ( 0: TABLE IfExists Name [ '.' Name ] [ RESTRICT ]
    | 1: INDEX IfExists Name '.' Name [ '.' Name ]
    | 2: DropRoutine
    | 3: TRIGGER IfExists Name [ '.' Name ]
    | 4: VIEW IfExists Name [ '.' Name ] [ RESTRICT ]
    | 5: ASSEMBLY IfExists Name
    | 6: ALIAS IfExists Name
    | 7: USER IfExists Name
    )
DropRoutine = ( ROUTINE | PROCEDURE | FUNCTION ) IfExists Name [ '.' Name ] [ RESTRICT ] [ NORESTRICT ]
IfExists = [ IF EXISTS ]
WithBestFit = [ WITH BESTFIT ]
CreateTable =
    [ ( GLOBAL | LOCAL ) TEMPORARY ] TABLE Name [ '.' Name ]
    ( 0: [ DESCRIPTION <character_string_literal> ]
         [ ( BLOCKSIZE | BLOCK [ SIZE ] ) <unsigned_integer_literal> ]
         [ ( INITIALSIZE | INITIAL [ SIZE ] ) <unsigned_integer_literal> ]
         [ ( GROWSIZE | GROW [ SIZE ] ) <unsigned_integer_literal> ]
         [ STORAGE [ ENGINE ] <character_string_literal> ]
         [ ENCRYPTION [ ENGINE ] <character_string_literal> [ ENCRYPT WITH <character_string_literal> ] ]
         [ DEFAULT ( CHARACTER SET <character_string_literal> | CODEPAGE <unsigned_integer_literal> ) ]
         [ DEFAULT ( COLLATION <character_string_literal> | LOCALE <unsigned_integer_literal> ) CompareFlags ]
         '(' { ( ColumnDefinition | TableConstraint | LIKE Name [ '.' Name ] ) // ',' }+ ')'
    | 1: [ '(' ColumnNameList ')' ] AS '(' SelectStatement ')' WITH [ NO ] DATA
    )
ColumnDefinition =
    ColumnName DataType [ DEFAULT DefaultValue ] [ NOT NULL ]
    { [ CONSTRAINT Name ] ( PRIMARY KEY | UNIQUE | CHECK '(' CondExp ')' ) }
    [ [ CONSTRAINT Name ] REFERENCES Name [ '(' ColumnName ')' ]
      { ON
        ( 0: UPDATE ( CASCADE | RESTRICT | SET NULL | SET DEFAULT )
        | 1: DELETE ( CASCADE | RESTRICT | SET NULL | SET DEFAULT )
        ) } ]
    [ DESCRIPTION <character_string_literal> ]
TableConstraint =
    [ CONSTRAINT Name ] ( PrimaryKeyConstraint | UniqueConstraint | ForeignKeyConstraint | CheckConstraint )
PrimaryKeyConstraint = PRIMARY KEY ConstraintColumns
UniqueConstraint = UNIQUE ConstraintColumns
ForeignKeyConstraint =
    FOREIGN KEY ConstraintColumns REFERENCES Name [ ReferencedColumns ]
    { ON
      ( 0: UPDATE ( CASCADE | RESTRICT | SET NULL | SET DEFAULT )
      | 1: DELETE ( CASCADE | RESTRICT | SET NULL | SET DEFAULT )
      ) }
CheckConstraint = CHECK '(' CondExp ')'
ConstraintColumns = '(' { ColumnName // ',' }+ ')'
ReferencedColumns = '(' { ColumnName // ',' }+ ')'
AlterTable =
    TABLE Name [ '.' Name ]
    ( 0: ADD ( [ COLUMN ] ColumnDefinition | TableConstraint )
    | 1: ALTER [ COLUMN ] ColumnName
         ( 0: SET DEFAULT DefaultValue
         | 1: DROP ( DEFAULT | CONSTRAINT NOT NULL )
         | 2: ADD CONSTRAINT NOT NULL
         | 3: SET DESCRIPTION <character_string_literal>
         | 4: CAST [ AS ] DataType ( IGNORE | RESTRICT ) WithBestFit
         | 5: RENAME [ TO ] Name ( IGNORE | RESTRICT )
         )
    | 2: DROP ( [ COLUMN IfExists ] ColumnName [ RESTRICT ] | CONSTRAINT IfExists Name [ RESTRICT ] )
    | 3: SET
         ( 0: DESCRIPTION [ TO ] <character_string_literal>
         | 1: ( NEXT | CURRENT ) AUTOINC [ TO ] SimpleExpression
         )
    | 4: RENAME [ TO ] Name ( IGNORE | RESTRICT )
    )
CreateIndex =
    [ UNIQUE | PRIMARY ] INDEX Name [ ENGINE <character_string_literal> ] ON Name [ '.' Name ] '('
    { IndexElement // ',' }+ ')'
IndexElement = ColumnName OrderOptions
CreateView =
    VIEW Name [ '.' Name ] [ '(' ColumnNameList ')' ] [ DESCRIPTION <character_string_literal> ] AS TableExp
CreateFunction =
    FUNCTION Name [ '.' Name ] '(' [ { Name [ AS ] DataType // ',' } ] ')' RETURNS ( DataType | TABLE )
    RoutineCharacteristics [ DESCRIPTION <character_string_literal> ] [ AS ]
    ( Block | RETURN ( NestedSelect | CondExp ) | EXTERNAL [ NAME Name [ '.' Name [ '.' Name ] ] ] )
CreateProcedure =
    PROCEDURE Name [ '.' Name ] '(' { ParameterMode Name DataType // ',' } ')' RoutineCharacteristics
    [ DESCRIPTION <character_string_literal> ] [ AS ]
    ( ( Block | SqlStatement ) | EXTERNAL [ NAME Name [ '.' Name [ '.' Name ] ] ] )
ParameterMode = [ IN | OUT | INOUT ]
RoutineCharacteristics =
    { ( 0: LanguageClause
      | 1: DeterministicClause
      | 2: ( NO SQL | CONTAINS SQL | READS SQL DATA | MODIFIES SQL DATA )
      | 3: NullCallClause
      ) }
LanguageClause = LANGUAGE ( SQL | CLR )
DeterministicClause = [ NOT ] DETERMINISTIC
NullCallClause = RETURNS NULL ON NULL INPUT | CALLED ON NULL INPUT
CreateTrigger =
    TRIGGER Name [ '.' Name ] ( BEFORE | AFTER )
    { ( INSERT | UPDATE [ OF ColumnNameList ] | DELETE ) // ',' }+ ON Name
    [ REFERENCING { OLD [ ROW ] [ AS ] Name | NEW [ ROW ] [ AS ] Name }+ ]
    [ DESCRIPTION <character_string_literal> ] [ AS ] [ FOR EACH ROW ] [ WHEN '(' CondExp ')' ]
    ( Block | SqlStatement )
CreateAlias = ALIAS Name FROM ( <character_string_literal> [ ENFORCE ] | MEMORY )
AlterAlias = ALIAS Name SET ( PATH TO ( <character_string_literal> [ ENFORCE ] | MEMORY ) | NAME TO Name )
CreateAssembly = [ SCRIPT | NET ] ASSEMBLY Name [ AUTHORIZATION Name ] FROM <character_string_literal>
UserDefinition = USER [ IF [ NOT ] EXISTS ] Name '(' { UserOperation // ',' }+ ')'
UserOperation =
     0: SET
        ( 0: PASSWORD [ TO ] SimpleExpression
        | 1: GLOBAL ACCESS [ TO ] AccessRights
        | 2: ALIAS ACCESS [ FOR ] Name [ TO ] AccessRights
        | 3: TABLE ACCESS [ FOR ] Name [ '.' Name ] [ TO ] AccessRights
        )
  |  1: ADD TABLE PASSWORD SimpleExpression [ [ FOR ] ( '*' | Name ) '.' ( '*' | Name ) ]
  |  2: DROP
        ( 0: TABLE PASSWORD [ SimpleExpression ] [ [ FOR ] ( '*' | Name ) '.' ( '*' | Name ) ]
        | 1: ALIAS ACCESS [ FOR ] Name
        | 2: TABLE ACCESS [ FOR ] Name [ '.' Name ]
        | 3: ALL ( TABLE PASSWORDS | ACCESS )
        )
  |  3: ENABLE
  |  4: DISABLE
AccessRights = NONE | '(' [ { AccessRight // ',' }+ ] ')'
AccessRight = READ | WRITE | ADMIN
AlterCurrentUser = CURRENT_USER [ SET ] PASSWORD [ TO ] SimpleExpression
AlterSystemPassword =
    SYSTEMPASSWORD TO <character_string_literal> [ ENCRYPTION [ ENGINE ] <character_string_literal> ]
DataType =
     0: ( 0: TINYINT
        | 1: BYTE
        | 2: WORD
        | 3: DWORD
        | 4: INT
        | 5: INTEGER
        | 6: SMALLINT
        | 7: SHORTINT
        | 8: LARGEINT
        | 9: BIGINT
        | 10: AUTOINC [ '(' <unsigned_integer_literal> [ ',' <unsigned_integer_literal> ] ')' ]
        | 11: FLOAT FloatPrecision
        | 12: REAL
        | 13: DOUBLE PRECISION
        | 14: EXTENDED
        | 15: MONEY
        | 16: ( NUMERIC | DECIMAL | DEC ) PrecisionScale
        | 17: BCD PrecisionScale
        | 18: FMTBCD PrecisionScale
        )
  |  1: StringType
  |  2: ( DATE | TIME | ( DATETIME | TIMESTAMP ) )
  |  3: ( BOOL | BOOLEAN )
  |  4: ( 0: BLOB LargeObjectLength
        | 1: BINARY LARGE OBJECT LargeObjectLength
        | 2: IMAGE LargeObjectLength
        | 3: BYTEARRAY BytesLength
        )
  |  5: ( RECREV | GUID )
StringType = ( CharacterStringType | NationalStringType ) Collation
CharacterStringType =
    ( 0: TEXT LargeObjectLength
    | 1: CHARACTER LARGE OBJECT LargeObjectLength
    | 2: CHAR LARGE OBJECT LargeObjectLength
    | 3: CLOB LargeObjectLength
    | 4: SHORTSTRING StringLength
    | 5: ( CHAR [ VARYING ] | CHARACTER [ VARYING ] | VARCHAR ) StringLength
    | 6: SINGLECHAR
    | 7: NULLSTRING StringLength
    )
    [ CHARACTER SET <character_string_literal> | CODEPAGE <unsigned_integer_literal> ]
NationalStringType =
     0: ( NCHAR [ VARYING ] | NVARCHAR | NATIONAL ( CHARACTER | CHAR ) [ VARYING ] ) StringLength
  |  1: NTEXT LargeObjectLength
  |  2: NATIONAL CHARACTER LARGE OBJECT LargeObjectLength
  |  3: NCHAR LARGE OBJECT LargeObjectLength
  |  4: NCLOB LargeObjectLength
  |  5: NSINGLECHAR
FloatPrecision = [ '(' <unsigned_integer_literal> ')' ]
PrecisionScale = [ '(' <unsigned_integer_literal> [ ',' <unsigned_integer_literal> ] ')' ]
BytesLength = '(' <unsigned_integer_literal> ')'
StringLength = [ '(' <unsigned_integer_literal> ')' ]
LargeObjectLength = [ '(' <unsigned_integer_literal> ')' ]
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
