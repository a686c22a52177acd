#include "nxSQLTok.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <memory>
#include <vector>

#include "nxllComponent.h"
#include "nxllException.h"
#include "nxllLockedFuncs.h"
#include "plObject.h"

PL_CLASS_INFO_IMPL(TTernaryTree, TnxObject, "TTernaryTree", platform::factoryFor<TTernaryTree>)
PL_CLASS_INFO_IMPL(TnxSQLTokenizer, TBaseTokenizer, "TnxSQLTokenizer", platform::factoryFor<TnxSQLTokenizer>)

namespace {

constexpr const char16_t* kTokenNameLiterals[kSqlTokenKindCount] = {
    u"<eof>",  // 0
    u"<identifier>",  // 1
    u"<float_literal>",  // 2
    u"<unsigned_integer_literal>",  // 3
    u"<character_string_literal>",  // 4
    u"<quoted_temp_name>",  // 5
    u"<quoted_name>",  // 6
    u"<bracketed_binary_string_literal>",  // 7
    u"<comment1>",  // 8
    u"<comment2>",  // 9
    u"<comment3>",  // 10
    u"<white_space>",  // 11
    u"%%",  // 12
    u"::",  // 13
    u"<=",  // 14
    u">=",  // 15
    u"<>",  // 16
    u"||",  // 17
    u"%",  // 18
    u"&",  // 19
    u"/",  // 20
    u";",  // 21
    u"?",  // 22
    u":",  // 23
    u".",  // 24
    u"=",  // 25
    u")",  // 26
    u"(",  // 27
    u"*",  // 28
    u"<",  // 29
    u">",  // 30
    u",",  // 31
    u"+",  // 32
    u"-",  // 33
    u"COUNT",  // 34
    u"ALL",  // 35
    u"DISTINCT",  // 36
    u"MIN",  // 37
    u"MAX",  // 38
    u"SUM",  // 39
    u"AVG",  // 40
    u"MED",  // 41
    u"WINSORIZED_MEAN",  // 42
    u"WINSORIZED_MEAN_TOP",  // 43
    u"WINSORIZED_MEAN_BOTTOM",  // 44
    u"STD",  // 45
    u"LIST",  // 46
    u"ANY",  // 47
    u"SOME",  // 48
    u"ALTER",  // 49
    u"SYSTEMPASSWORD",  // 50
    u"TO",  // 51
    u"IF",  // 52
    u"EXISTS",  // 53
    u"WITH",  // 54
    u"BESTFIT",  // 55
    u"IGNORE",  // 56
    u"TABLE",  // 57
    u"COLUMN",  // 58
    u"SET",  // 59
    u"DEFAULT",  // 60
    u"DROP",  // 61
    u"CONSTRAINT",  // 62
    u"NOT",  // 63
    u"NULL",  // 64
    u"CAST",  // 65
    u"AS",  // 66
    u"AUTOINC",  // 67
    u"ASSERT",  // 68
    u"ORDER",  // 69
    u"EMPTY",  // 70
    u"PRIMARY",  // 71
    u"UNIQUE",  // 72
    u"CHECK",  // 73
    u"REFERENCES",  // 74
    u"ON",  // 75
    u"UPDATE",  // 76
    u"DELETE",  // 77
    u"BETWEEN",  // 78
    u"AND",  // 79
    u"TRUE",  // 80
    u"FALSE",  // 81
    u"UNKNOWN",  // 82
    u"LEAVE",  // 83
    u"START",  // 84
    u"COMMIT",  // 85
    u"ROLLBACK",  // 86
    u"ELSE",  // 87
    u"END",  // 88
    u"OR",  // 89
    u"ITERATE",  // 90
    u"CREATE",  // 91
    u"MEMORY",  // 92
    u"ALIAS",  // 93
    u"FROM",  // 94
    u"PATH",  // 95
    u"SCRIPT",  // 96
    u"NET",  // 97
    u"ASSEMBLY",  // 98
    u"AUTHORIZATION",  // 99
    u"FUNCTION",  // 100
    u"RETURNS",  // 101
    u"RETURN",  // 102
    u"EXTERNAL",  // 103
    u"IN",  // 104
    u"OUT",  // 105
    u"INOUT",  // 106
    u"LANGUAGE",  // 107
    u"SQL",  // 108
    u"DETERMINISTIC",  // 109
    u"NO",  // 110
    u"CONTAINS",  // 111
    u"READS",  // 112
    u"MODIFIES",  // 113
    u"CALLED",  // 114
    u"PROCEDURE",  // 115
    u"INDEX",  // 116
    u"GLOBAL",  // 117
    u"LOCAL",  // 118
    u"CHARACTER",  // 119
    u"LOCALE",  // 120
    u"LIKE",  // 121
    u"TRIGGER",  // 122
    u"INSERT",  // 123
    u"OF",  // 124
    u"REFERENCING",  // 125
    u"ROW",  // 126
    u"FOR",  // 127
    u"EACH",  // 128
    u"WHEN",  // 129
    u"NONE",  // 130
    u"PASSWORDS",  // 131
    u"ENABLE",  // 132
    u"DISABLE",  // 133
    u"TEXT",  // 134
    u"LARGE",  // 135
    u"CHAR",  // 136
    u"CLOB",  // 137
    u"SHORTSTRING",  // 138
    u"VARYING",  // 139
    u"VARCHAR",  // 140
    u"SINGLECHAR",  // 141
    u"NULLSTRING",  // 142
    u"NCHAR",  // 143
    u"NVARCHAR",  // 144
    u"NATIONAL",  // 145
    u"NTEXT",  // 146
    u"NCLOB",  // 147
    u"NSINGLECHAR",  // 148
    u"COLLATE",  // 149
    u"BLOB",  // 150
    u"BINARY",  // 151
    u"IMAGE",  // 152
    u"BYTEARRAY",  // 153
    u"TINYINT",  // 154
    u"BYTE",  // 155
    u"WORD",  // 156
    u"DWORD",  // 157
    u"INT",  // 158
    u"INTEGER",  // 159
    u"SMALLINT",  // 160
    u"SHORTINT",  // 161
    u"LARGEINT",  // 162
    u"BIGINT",  // 163
    u"FLOAT",  // 164
    u"REAL",  // 165
    u"DOUBLE",  // 166
    u"PRECISION",  // 167
    u"EXTENDED",  // 168
    u"MONEY",  // 169
    u"NUMERIC",  // 170
    u"DECIMAL",  // 171
    u"DEC",  // 172
    u"DATETIME",  // 173
    u"TIMESTAMP",  // 174
    u"DATE",  // 175
    u"TIME",  // 176
    u"BOOL",  // 177
    u"BOOLEAN",  // 178
    u"RECREV",  // 179
    u"GUID",  // 180
    u"DECLARE",  // 181
    u"CURSOR",  // 182
    u"FETCH",  // 183
    u"INTO",  // 184
    u"WHERE",  // 185
    u"CALL",  // 186
    u"EXECUTE",  // 187
    u"IMMEDIATE",  // 188
    u"STARTS",  // 189
    u"THEN",  // 190
    u"ELSEIF",  // 191
    u"CASE",  // 192
    u"VALUES",  // 193
    u"INTERVAL",  // 194
    u"IS",  // 195
    u"CROSS",  // 196
    u"JOIN",  // 197
    u"NATURAL",  // 198
    u"INNER",  // 199
    u"LEFT",  // 200
    u"RIGHT",  // 201
    u"FULL",  // 202
    u"USING",  // 203
    u"ESCAPE",  // 204
    u"SIMILAR",  // 205
    u"MATCH",  // 206
    u"INTERSECT",  // 207
    u"REPEAT",  // 208
    u"UNTIL",  // 209
    u"GROUP",  // 210
    u"SIGNAL",  // 211
    u"EXTRACT",  // 212
    u"YEAR",  // 213
    u"MONTH",  // 214
    u"DAY",  // 215
    u"CHARACTER_LENGTH",  // 216
    u"CHAR_LENGTH",  // 217
    u"OCTET_LENGTH",  // 218
    u"COALESCE",  // 219
    u"NULLIF",  // 220
    u"POSITION",  // 221
    u"SUBSTRING",  // 222
    u"OVERLAY",  // 223
    u"SYSTEM_ROW#",  // 224
    u"TRIM",  // 225
    u"LEADING",  // 226
    u"TRAILING",  // 227
    u"BOTH",  // 228
    u"SELECT",  // 229
    u"BY",  // 230
    u"HAVING",  // 231
    u"DEFAULT_ALIAS",  // 232
    u"BEGIN",  // 233
    u"ATOMIC",  // 234
    u"FOREIGN",  // 235
    u"UNION",  // 236
    u"EXCEPT",  // 237
    u"TRY",  // 238
    u"CATCH",  // 239
    u"WHILE",  // 240
    u"DO",  // 241
    u"HOUR",  // 242
    u"MINUTE",  // 243
    u"SECOND",  // 244
    u"#B",  // 245
    u"#F",  // 246
    u"#I",  // 247
    u"#L",  // 248
    u"#OPT",  // 249
    u"#S",  // 250
    u"#T",  // 251
    u"#V",  // 252
    u"ABSOLUTE",  // 253
    u"ACCESS",  // 254
    u"ADD",  // 255
    u"ADMIN",  // 256
    u"AFTER",  // 257
    u"APR",  // 258
    u"APRIL",  // 259
    u"ASC",  // 260
    u"AUG",  // 261
    u"AUGUST",  // 262
    u"BCD",  // 263
    u"BEFORE",  // 264
    u"BLOCK",  // 265
    u"BLOCKSIZE",  // 266
    u"CASCADE",  // 267
    u"CHARACTERS",  // 268
    u"CLOSE",  // 269
    u"CLR",  // 270
    u"CODEPAGE",  // 271
    u"COLLATION",  // 272
    u"CURRENT",  // 273
    u"CURRENT_DATE",  // 274
    u"CURRENT_DATETIME",  // 275
    u"CURRENT_TIME",  // 276
    u"CURRENT_TIMESTAMP",  // 277
    u"CURRENT_USER",  // 278
    u"DATA",  // 279
    u"DAYOFYEAR",  // 280
    u"DECEMBER",  // 281
    u"DESC",  // 282
    u"DESCRIPTION",  // 283
    u"ENCRYPT",  // 284
    u"ENCRYPTION",  // 285
    u"ENFORCE",  // 286
    u"ENGINE",  // 287
    u"FEB",  // 288
    u"FEBRUARY",  // 289
    u"FIRST",  // 290
    u"FMTBCD",  // 291
    u"FOLDERS",  // 292
    u"FR",  // 293
    u"FRI",  // 294
    u"FRIDAY",  // 295
    u"GROW",  // 296
    u"GROWSIZE",  // 297
    u"INACTIVE",  // 298
    u"INITIAL",  // 299
    u"INITIALSIZE",  // 300
    u"INPUT",  // 301
    u"ISODATE",  // 302
    u"ISODAYOFMONTH",  // 303
    u"ISODAYOFWEEK",  // 304
    u"ISODAYOFYEAR",  // 305
    u"ISOMONTH",  // 306
    u"ISOWEEK",  // 307
    u"ISOWEEKOFMONTH",  // 308
    u"ISOYEAR",  // 309
    u"JAN",  // 310
    u"JANUARY",  // 311
    u"JUL",  // 312
    u"JULY",  // 313
    u"JUN",  // 314
    u"JUNE",  // 315
    u"KANA",  // 316
    u"KEY",  // 317
    u"LAST",  // 318
    u"LOCALTIME",  // 319
    u"LOCALTIMESTAMP",  // 320
    u"LOGMESSAGE",  // 321
    u"MAR",  // 322
    u"MARCH",  // 323
    u"MAY",  // 324
    u"MO",  // 325
    u"MON",  // 326
    u"MONDAY",  // 327
    u"N",  // 328
    u"NAME",  // 329
    u"NEW",  // 330
    u"NEWGUID",  // 331
    u"NEXT",  // 332
    u"NEXTLSN",  // 333
    u"NONSPACE",  // 334
    u"NORESTRICT",  // 335
    u"NOV",  // 336
    u"NOVEMBER",  // 337
    u"NULLS",  // 338
    u"OBJECT",  // 339
    u"OCT",  // 340
    u"OCTETS",  // 341
    u"OCTOBER",  // 342
    u"OLD",  // 343
    u"ONLY",  // 344
    u"OPEN",  // 345
    u"OUTER",  // 346
    u"OVERFLOW",  // 347
    u"PARTIAL",  // 348
    u"PASSWORD",  // 349
    u"PERCENT",  // 350
    u"PLACING",  // 351
    u"PREV",  // 352
    u"PRIOR",  // 353
    u"QUARTER",  // 354
    u"READ",  // 355
    u"RELATIVE",  // 356
    u"REMOVE",  // 357
    u"RENAME",  // 358
    u"RESTRICT",  // 359
    u"ROUTINE",  // 360
    u"SA",  // 361
    u"SAT",  // 362
    u"SATURDAY",  // 363
    u"SEP",  // 364
    u"SEPTEMBER",  // 365
    u"SERIALIZABLE",  // 366
    u"SESSION_USER",  // 367
    u"SIMPLE",  // 368
    u"SIZE",  // 369
    u"SNAPSHOT",  // 370
    u"SORT",  // 371
    u"STORAGE",  // 372
    u"STRING",  // 373
    u"SU",  // 374
    u"SUN",  // 375
    u"SUNDAY",  // 376
    u"SYMBOLS",  // 377
    u"TABLES",  // 378
    u"TEMPORARY",  // 379
    u"TH",  // 380
    u"THU",  // 381
    u"THUR",  // 382
    u"THURSDAY",  // 383
    u"TOP",  // 384
    u"TRANSACTION",  // 385
    u"TU",  // 386
    u"TUE",  // 387
    u"TUES",  // 388
    u"TUESDAY",  // 389
    u"TYPE",  // 390
    u"U",  // 391
    u"UESCAPE",  // 392
    u"USE",  // 393
    u"USER",  // 394
    u"VIEW",  // 395
    u"WE",  // 396
    u"WED",  // 397
    u"WEDNESDAY",  // 398
    u"WIDTH",  // 399
    u"WORK",  // 400
    u"WRITE",  // 401
    u"X",  // 402
};

TnxUseCount gTokUseCount{0};
std::unique_ptr<std::array<nxString, kSqlTokenKindCount>> gNames;
TnxOwned<TTernaryTree> gKeywordTree;

// Inserts the words median first, so the tree is balanced whatever the
// order of the kinds: the words and their values are what they are in any
// insertion order, only the look-up gets shorter.
void insertBalanced(TTernaryTree& aTree, const std::vector<std::int32_t>& aSorted, std::size_t aFrom, std::size_t aTo) {
  if (aFrom >= aTo) return;
  const std::size_t mid = aFrom + (aTo - aFrom) / 2;
  aTree.InsertStr(kTokenNameLiterals[aSorted[mid]], aSorted[mid]);
  insertBalanced(aTree, aSorted, aFrom, mid);
  insertBalanced(aTree, aSorted, mid + 1, aTo);
}

TnxOwned<TTernaryTree> BuildSqlKeywordTree() {
  std::vector<std::int32_t> kinds;
  for (std::int32_t kind = sqltFirstReserved; kind <= sqltLastKind; ++kind) kinds.push_back(kind);
  std::sort(kinds.begin(), kinds.end(), [](std::int32_t a, std::int32_t b) {
    return platform::UnicodeStringView(kTokenNameLiterals[a]) < platform::UnicodeStringView(kTokenNameLiterals[b]);
  });
  TnxOwned<TTernaryTree> tree(platform::create<TTernaryTree>());
  insertBalanced(*tree, kinds, 0, kinds.size());
  return tree;
}

// ------------------------------------------------------- character classes

// Which characters start a token of which kind is the dispatch table's
// business (below); these sets say what continues one.
enum : std::uint8_t {
  ccIdCont = 1,
  ccQuotedName = 2,
  ccHex = 4,
};

constexpr std::array<std::uint8_t, 128> makeClasses() {
  std::array<std::uint8_t, 128> t{};
  auto add = [&t](int aFrom, int aTo, std::uint8_t aClass) {
    for (int c = aFrom; c <= aTo; ++c) t[std::size_t(c)] |= aClass;
  };
  for (auto [from, to] : {std::pair{33, 33}, {35, 36}, {65, 90}, {92, 92}, {94, 123}, {125, 127}})
    add(from, to, ccIdCont);  // the characters that start a name
  add('0', '9', ccIdCont | ccHex);
  add('@', '@', ccIdCont);
  add('A', 'F', ccHex);
  add('a', 'f', ccHex);
  for (auto [from, to] : {std::pair{32, 33}, {35, 38}, {40, 41}, {43, 43}, {45, 46}, {48, 58}, {64, 95}, {97, 123},
                          {125, 126}})
    add(from, to, ccQuotedName);
  return t;
}
constexpr std::array<std::uint8_t, 128> kClasses = makeClasses();

// Characters beyond ASCII continue names and nothing else.
inline bool isIdCont(char16_t c) { return c >= 128 || (kClasses[c] & ccIdCont); }
inline bool isQuotedName(char16_t c) { return c < 128 && (kClasses[c] & ccQuotedName); }
inline bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
inline bool isHex(char16_t c) { return c < 128 && (kClasses[c] & ccHex); }
inline bool isWhite(char16_t c) { return c == 9 || c == 10 || c == 13 || c == 32; }

// What a token starting with an ASCII character is; every character beyond
// ASCII starts an identifier without keyword lookup.
enum TAction : std::uint8_t {
  actFail,
  actEnd,
  actWhite,
  actIdentifier,
  actKeyword,  // identifier, then keyword lookup
  actSingle,   // one character, kind from kSingleKind
  actDoubleQuote,
  actSingleQuote,
  actPercent,
  actMinus,
  actDot,
  actSlash,
  actDigit,
  actColon,
  actLess,
  actGreater,
  actBracket,
  actBar,
};

struct TDispatch {
  std::array<TAction, 128> action{};
  std::array<std::uint8_t, 128> single{};
};

constexpr TDispatch makeDispatch() {
  TDispatch d{};  // actFail: controls and ']'
  d.action[0] = actEnd;
  for (int c : {9, 10, 13, 32}) d.action[std::size_t(c)] = actWhite;
  for (int c : std::initializer_list<int>{'!', '$', '@', 'Z', 'z', '{', '}', '~', '\\', '^', '_', '`', 127})
    d.action[std::size_t(c)] = actIdentifier;
  d.action['#'] = actKeyword;
  for (int c = 'A'; c <= 'Y'; ++c) d.action[std::size_t(c)] = actKeyword;
  for (int c = 'a'; c <= 'y'; ++c) d.action[std::size_t(c)] = actKeyword;
  for (int c = '0'; c <= '9'; ++c) d.action[std::size_t(c)] = actDigit;
  d.action['"'] = actDoubleQuote;
  d.action['\''] = actSingleQuote;
  d.action['%'] = actPercent;
  d.action['-'] = actMinus;
  d.action['.'] = actDot;
  d.action['/'] = actSlash;
  d.action[':'] = actColon;
  d.action['<'] = actLess;
  d.action['>'] = actGreater;
  d.action['['] = actBracket;
  d.action['|'] = actBar;
  const std::pair<int, TnxSqlTokenKind> singles[] = {
      {'&', sqltAmpersand}, {'(', sqltLParen}, {')', sqltRParen}, {'*', sqltStar},      {'+', sqltPlus},
      {',', sqltComma},     {';', sqltSemicolon}, {'=', sqltEqual}, {'?', sqltQuestion}};
  for (auto [c, kind] : singles) {
    d.action[std::size_t(c)] = actSingle;
    d.single[std::size_t(c)] = std::uint8_t(kind);
  }
  return d;
}
constexpr TDispatch kDispatch = makeDispatch();

}  // namespace

// ------------------------------------------------------------------ start-up

void nxSQLTokInitialize() {
  static const TnxModuleDependency deps[] = {{nxllLockedFuncsInitialize, nxllLockedFuncsFinalize}};
  nxUseCountStart(gTokUseCount, deps, [] {
    auto names = std::make_unique<std::array<nxString, kSqlTokenKindCount>>();
    for (std::int32_t kind = 0; kind < kSqlTokenKindCount; ++kind) (*names)[std::size_t(kind)] = kTokenNameLiterals[kind];
    auto tree = BuildSqlKeywordTree();
    gNames = std::move(names);
    gKeywordTree = std::move(tree);
  });
}

void nxSQLTokFinalize() {
  if (!nxUseCountLeave(gTokUseCount)) return;
  gKeywordTree.reset();
  gNames.reset();
  nxllLockedFuncsFinalize();
}

std::span<const nxString> nxSqlTokenNames() {
  if (!gNames) return {};
  return {gNames->data(), gNames->size()};
}

const nxString& nxSqlTokenName(std::int32_t aKind) {
  if (!gNames || aKind < 0 || aKind >= kSqlTokenKindCount) throw EnxBaseException(u"Invalid token kind %d", {aKind});
  return (*gNames)[std::size_t(aKind)];
}

const TTernaryTree* nxSqlKeywordTree() { return gKeywordTree.get(); }

bool nxSqlIsReservedWordW(platform::UnicodeStringView aWord) {
  if (!gKeywordTree) throw EnxBaseException(u"SQL keywords are not started");
  const std::int32_t kind = gKeywordTree->SearchUC(aWord);
  return kind >= sqltFirstReserved && kind <= sqltLastReserved;
}

// -------------------------------------------------------------- TTernaryTree

void TTernaryTree::InsertStr(platform::UnicodeStringView aWord, std::int32_t aVal) {
  if (aWord.find(u'\0') != platform::UnicodeStringView::npos) return;
  TTernaryNode** link = &Root;
  std::size_t i = 0;
  for (;;) {
    const char16_t c = i < aWord.size() ? aWord[i] : u'\0';
    if (!*link) {
      Nodes.emplace_back();
      *link = &Nodes.back();
      (*link)->SplitChar = c;
    }
    TTernaryNode* node = *link;
    if (i == 0 && c < 128 && c == node->SplitChar) FirstNode[c] = node;
    if (c < node->SplitChar) {
      link = &node->LoKid;
    } else if (c > node->SplitChar) {
      link = &node->HiKid;
    } else if (c == u'\0') {
      node->Val = aVal;
      return;
    } else {
      ++i;
      link = &node->EqKid;
    }
  }
}

template <bool kUpper>
std::int32_t TTernaryTree::Find(platform::UnicodeStringView aWord) const {
  const TTernaryNode* node = Root;
  std::size_t i = 0;
  if (!aWord.empty() && aWord[0] != u'\0' && aWord[0] < 128) {
    char16_t c = aWord[0];
    if (kUpper && c >= u'a' && c <= u'z') c = char16_t(c - 32);
    node = FirstNode[c];
    if (!node) return 0;
    node = node->EqKid;
    i = 1;
  }
  while (node) {
    char16_t c = u'\0';
    if (i < aWord.size()) {
      c = aWord[i];
      if (c == u'\0') return 0;
      if (kUpper && c >= u'a' && c <= u'z') c = char16_t(c - 32);
    }
    if (c < node->SplitChar) {
      node = node->LoKid;
    } else if (c > node->SplitChar) {
      node = node->HiKid;
    } else {
      if (c == u'\0') return node->Val;
      ++i;
      node = node->EqKid;
    }
  }
  return 0;
}

std::int32_t TTernaryTree::Search(platform::UnicodeStringView aWord) const { return Find<false>(aWord); }
std::int32_t TTernaryTree::SearchUC(platform::UnicodeStringView aWord) const { return Find<true>(aWord); }

// ----------------------------------------------------------- TnxSQLTokenizer

void TnxSQLTokenizer::ScanIdentifier() {
  const char16_t* p = CurPtr + 1;
  while (p < EndPtr && isIdCont(*p)) ++p;
  AdvanceInLine(std::int32_t(p - CurPtr));
}

void TnxSQLTokenizer::ScanWhiteSpace() {
  while (CurPtr < EndPtr && isWhite(*CurPtr)) Advance();
}

// REQUIRES: the cursor is on "--" or "//". The comment takes the first CR or
// LF with it; a text may also end inside it.
void TnxSQLTokenizer::ScanLineComment() {
  AdvanceInLine(2);
  while (CurPtr < EndPtr) {
    const char16_t c = *CurPtr;
    Advance();
    if (c == u'\r' || c == u'\n') return;
  }
}

// REQUIRES: the cursor is on "/*". aNoCommentEndFrom remembers where the
// search for "*/" last ran off the text, so a text full of "/*" stays linear.
bool TnxSQLTokenizer::ScanBlockComment(const char16_t*& aNoCommentEndFrom) {
  const char16_t* body = CurPtr + 2;
  if (aNoCommentEndFrom && body >= aNoCommentEndFrom) return false;
  const char16_t* p = body;
  while (EndPtr - p >= 2 && !(p[0] == u'*' && p[1] == u'/')) ++p;
  if (EndPtr - p < 2) {
    aNoCommentEndFrom = body;
    return false;
  }
  while (CurPtr < p + 2) Advance();
  return true;
}

bool TnxSQLTokenizer::ScanString() {
  Advance();
  for (;;) {
    if (CurPtr >= EndPtr) return false;
    const char16_t c = *CurPtr;
    Advance();
    if (c == u'\'') {
      if (CurPtr < EndPtr && *CurPtr == u'\'')
        Advance();
      else
        return true;
    }
  }
}

bool TnxSQLTokenizer::ScanQuotedTempName() {
  PushMark();
  bool ok = Accept(u'"') && Accept(u'<');
  if (ok) {
    while (isQuotedName(Cur()) && !AtEnd()) Advance();
    ok = Accept(u'>') && Accept(u'"');
  }
  PopMark(ok);
  return ok;
}

bool TnxSQLTokenizer::ScanQuotedName() {
  PushMark();
  bool ok = Accept(u'"');
  if (ok) {
    while (isQuotedName(Cur()) && !AtEnd()) Advance();
    ok = Accept(u'"');
  }
  PopMark(ok);
  return ok;
}

bool TnxSQLTokenizer::ScanBinaryString() {
  PushMark();
  Advance();
  bool ok = false;
  while (isHex(Cur()) && isHex(Peek(1))) {
    AdvanceInLine(2);
    ok = true;
  }
  ok = ok && Accept(u']');
  PopMark(ok);
  return ok;
}

void TnxSQLTokenizer::ScanDigits() {
  const char16_t* p = CurPtr;
  while (p < EndPtr && isDigit(*p)) ++p;
  AdvanceInLine(std::int32_t(p - CurPtr));
}

bool TnxSQLTokenizer::ScanExponent() {
  if (Cur() != u'E' && Cur() != u'e') return false;
  PushMark();
  Advance();
  if (Cur() == u'+' || Cur() == u'-') Advance();
  const bool ok = isDigit(Cur());
  if (ok) ScanDigits();
  PopMark(ok);
  return ok;
}

// digits '.' [digits] [exponent] | digits exponent | '.' digits [exponent]
bool TnxSQLTokenizer::ScanFloat() {
  PushMark();
  bool ok;
  if (isDigit(Cur())) {
    ScanDigits();
    if (Accept(u'.')) {
      ScanDigits();
      ScanExponent();
      ok = true;
    } else {
      ok = ScanExponent();
    }
  } else {
    ok = Accept(u'.') && isDigit(Cur());
    if (ok) {
      ScanDigits();
      ScanExponent();
    }
  }
  PopMark(ok);
  return ok;
}

bool TnxSQLTokenizer::Tokenize(const char16_t* aBuffer, std::int32_t aSize, bool aIncludeComments,
                               bool aIncludeWhitespace, TTokenListPtr& aTokens) {
  aTokens.reset();
  try {
    const bool valid = aSize >= 0 && (aBuffer || aSize == 0);
    aTokens.reset(platform::create<TTokenList>(platform::UnicodeStringView(aBuffer, valid ? std::size_t(aSize) : 0)));
    const TTernaryTree* keywords = gKeywordTree.get();
    if (!valid || !keywords) return false;
    TTokenList& list = *aTokens;
    Reset(aBuffer, aSize);
    const char16_t* noCommentEndFrom = nullptr;
    while (CurPtr < EndPtr) {
      StartPtr = CurPtr;
      StartLine = CurLine;
      StartPos = CurPos;
      const char16_t c = *CurPtr;
      std::int32_t kind;
      switch (c < 128 ? kDispatch.action[c] : actIdentifier) {
        case actFail:
          return false;
        case actEnd:
          list.AddToken(CurPtr, CurPtr, CurLine, CurLine, CurPos, CurPos, sqltEof);
          return true;
        case actWhite:
          ScanWhiteSpace();
          if (!aIncludeWhitespace) continue;
          kind = sqltWhiteSpace;
          break;
        case actIdentifier:
          ScanIdentifier();
          kind = sqltIdentifier;
          break;
        case actKeyword:
          ScanIdentifier();
          kind = keywords->SearchUC(platform::UnicodeStringView(StartPtr, std::size_t(CurPtr - StartPtr)));
          if (kind == 0) kind = sqltIdentifier;
          break;
        case actSingle:
          AdvanceInLine(1);
          kind = kDispatch.single[c];
          break;
        case actDoubleQuote:
          if (ScanQuotedTempName())
            kind = sqltQuotedTempName;
          else if (ScanQuotedName())
            kind = sqltQuotedName;
          else
            return false;
          break;
        case actSingleQuote:
          if (!ScanString()) return false;
          kind = sqltString;
          break;
        case actPercent:
          kind = Peek(1) == u'%' ? sqltPercentPercent : sqltPercent;
          AdvanceInLine(kind == sqltPercent ? 1 : 2);
          break;
        case actMinus:
          if (Peek(1) == u'-') {
            ScanLineComment();
            if (!aIncludeComments) continue;
            kind = sqltComment2;
          } else {
            AdvanceInLine(1);
            kind = sqltMinus;
          }
          break;
        case actDot:
          if (isDigit(Peek(1)) && ScanFloat()) {
            kind = sqltFloat;
          } else {
            AdvanceInLine(1);
            kind = sqltDot;
          }
          break;
        case actSlash:
          if (Peek(1) == u'/') {
            ScanLineComment();
            if (!aIncludeComments) continue;
            kind = sqltComment1;
          } else if (Peek(1) == u'*' && ScanBlockComment(noCommentEndFrom)) {
            if (!aIncludeComments) continue;
            kind = sqltComment3;
          } else {
            AdvanceInLine(1);
            kind = sqltSlash;
          }
          break;
        case actDigit:
          if (ScanFloat()) {
            kind = sqltFloat;
          } else {
            ScanDigits();
            kind = sqltUnsignedInteger;
          }
          break;
        case actColon:
          kind = Peek(1) == u':' ? sqltColonColon : sqltColon;
          AdvanceInLine(kind == sqltColon ? 1 : 2);
          break;
        case actLess:
          if (Peek(1) == u'=') {
            kind = sqltLessEqual;
            AdvanceInLine(2);
          } else if (Peek(1) == u'>') {
            kind = sqltNotEqual;
            AdvanceInLine(2);
          } else {
            kind = sqltLess;
            AdvanceInLine(1);
          }
          break;
        case actGreater:
          kind = Peek(1) == u'=' ? sqltGreaterEqual : sqltGreater;
          AdvanceInLine(kind == sqltGreater ? 1 : 2);
          break;
        case actBracket:
          if (!ScanBinaryString()) return false;
          kind = sqltBinaryString;
          break;
        case actBar:
          if (Peek(1) != u'|') return false;
          AdvanceInLine(2);
          kind = sqltConcat;
          break;
        default:
          return false;
      }
      list.AddToken(StartPtr, CurPtr, StartLine, CurLine, StartPos, CurPos, kind);
    }
    list.AddToken(CurPtr, CurPtr, CurLine, CurLine, CurPos, CurPos, sqltEof);
    return true;
  } catch (...) {
    // Out of memory or an internal error: the text counts as not tokenized.
    return false;
  }
}
