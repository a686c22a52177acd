#include "plDbFilter.h"

#include <cmath>
#include <cstring>
#include <memory>

#include "plCodePage.h"
#include "plDateTime.h"
#include "plFormat.h"

namespace platform {

namespace {

constexpr std::uint16_t kCanExprVersion = 2;
constexpr std::uint16_t kHeaderSize = 10;

// Constant types of the literal pool.
enum : std::uint16_t {
  ctText = 1, ctDate = 2, ctBoolean = 4, ctInt32 = 6, ctFloat = 7, ctTime = 10, ctTimeStamp = 11,
  ctUInt32 = 13, ctInt64 = 18, ctUnicode = 4103
};

struct Node {
  TNodeClass cls = nodeNULL;
  TCANOperator op = coNOTDEFINED;
  std::vector<std::unique_ptr<Node>> children;
  // compare nodes
  std::uint16_t caseInsensitive = 0;
  std::uint16_t partialLength = 0;
  // field nodes
  TFilterField field;
  // constant nodes
  std::uint16_t constType = 0;
  std::vector<std::uint8_t> literal;  // field name (with terminator) or constant bytes
};
using NodePtr = std::unique_ptr<Node>;

template <class T>
std::vector<std::uint8_t> filterBytesOf(const T& aValue) {
  std::vector<std::uint8_t> b(sizeof(T));
  std::memcpy(b.data(), &aValue, sizeof(T));
  return b;
}

bool isTextType(TFieldType t) {
  switch (t) {
    case ftString: case ftFixedChar: case ftWideString: case ftFixedWideChar: case ftGuid: case ftMemo:
    case ftWideMemo: case ftFmtMemo:
      return true;
    default:
      return false;
  }
}

NodePtr fieldNode(UnicodeStringView aName, const TFilterField& aField, std::uint16_t aCodePage) {
  auto n = std::make_unique<Node>();
  n->cls = nodeFIELD;
  n->op = coFIELD2;
  n->field = aField;
  const std::string name = encodeText(aName, aCodePage);
  n->literal.assign(name.begin(), name.end());
  n->literal.push_back(0);
  return n;
}

NodePtr constNode(std::uint16_t aType, std::vector<std::uint8_t> aBytes) {
  auto n = std::make_unique<Node>();
  n->cls = nodeCONST;
  n->op = coCONST2;
  n->constType = aType;
  n->literal = std::move(aBytes);
  return n;
}

NodePtr textConst(UnicodeStringView aText, std::uint16_t aCodePage) {
  bool lossy = false;
  const std::size_t need = aText.empty() ? 0 : wideToMultiByte(aCodePage, aText, nullptr, 0);
  std::string bytes(need, '\0');
  if (need) wideToMultiByte(aCodePage, aText, bytes.data(), need, &lossy);
  if (!lossy) {
    std::vector<std::uint8_t> b(bytes.begin(), bytes.end());
    b.push_back(0);
    return constNode(ctText, std::move(b));
  }
  // Not representable in the code page: the UTF-16 form.
  if (aText.size() * 2 > 0xFFFF) DatabaseError(dbmsg::SExprTooLarge);
  auto b = filterBytesOf(static_cast<std::uint16_t>(aText.size() * 2));
  const auto* p = reinterpret_cast<const std::uint8_t*>(aText.data());
  b.insert(b.end(), p, p + aText.size() * 2);
  return constNode(ctUnicode, std::move(b));
}

// A constant of aValue typed for a field of aType.
NodePtr typedConst(TFieldType aType, const Variant& aValue, std::uint16_t aCodePage) {
  switch (aType) {
    case ftSmallint: case ftInteger: case ftWord: case ftShortint: case ftByte:
      return constNode(ctInt32, filterBytesOf(aValue.toInt32()));
    case ftLongWord: case ftAutoInc:
      return constNode(ctUInt32, filterBytesOf(aValue.toUInt32()));
    case ftLargeint:
      return constNode(ctInt64, filterBytesOf(aValue.toInt64()));
    case ftFloat: case ftCurrency: case ftSingle: case ftExtended: case ftBCD: case ftFMTBcd:
      return constNode(ctFloat, filterBytesOf(aValue.toDouble()));
    case ftBoolean:
      return constNode(ctBoolean, filterBytesOf(static_cast<std::uint16_t>(aValue.toBoolean() ? 0xFFFF : 0)));
    case ftDate:
      return constNode(ctDate, filterBytesOf(dateTimeToTimeStamp(aValue.toDateTime()).date));
    case ftTime:
      return constNode(ctTime, filterBytesOf(dateTimeToTimeStamp(aValue.toDateTime()).time));
    case ftDateTime: case ftTimeStamp: {
      const TimeStamp ts = dateTimeToTimeStamp(aValue.toDateTime());
      return constNode(ctTimeStamp, filterBytesOf(static_cast<double>(ts.date) * kMSecsPerDay + ts.time));
    }
    default:
      return textConst(aValue.toString(), aCodePage);
  }
}

NodePtr unaryNode(TCANOperator aOp, NodePtr aOperand) {
  auto n = std::make_unique<Node>();
  n->cls = nodeUNARY;
  n->op = aOp;
  n->children.push_back(std::move(aOperand));
  return n;
}

NodePtr binaryNode(TCANOperator aOp, NodePtr aLeft, NodePtr aRight) {
  auto n = std::make_unique<Node>();
  n->cls = nodeBINARY;
  n->op = aOp;
  n->children.push_back(std::move(aLeft));
  n->children.push_back(std::move(aRight));
  return n;
}

NodePtr compareNode(TCANOperator aOp, bool aCaseInsensitive, std::uint16_t aPartial, NodePtr aLeft, NodePtr aRight) {
  auto n = binaryNode(aOp, std::move(aLeft), std::move(aRight));
  n->cls = nodeCOMPARE;
  n->caseInsensitive = aCaseInsensitive ? 1 : 0;
  n->partialLength = aPartial;
  return n;
}

// ---------------------------------------------------------------------------
// Serialisation

class Writer {
 public:
  TCANExprBytes Write(const Node& aRoot) {
    Place(aRoot);
    const std::size_t total = kHeaderSize + nodeSize_ + literalSize_;
    if (total > 0xFFFF) DatabaseError(dbmsg::SExprTooLarge);
    out_.assign(total, 0);
    put16(0, kCanExprVersion);
    put16(2, static_cast<std::uint16_t>(total));
    put16(4, static_cast<std::uint16_t>(count_));
    put16(6, kHeaderSize);
    put16(8, static_cast<std::uint16_t>(kHeaderSize + nodeSize_));
    Emit(aRoot);
    return out_;
  }

 private:
  static std::size_t NodeBytes(const Node& n) {
    switch (n.cls) {
      case nodeUNARY: return 8 + 2;
      case nodeBINARY: return 8 + 4;
      case nodeCOMPARE: return 8 + 8;
      case nodeFIELD: return 8 + 4;
      case nodeCONST: return 8 + 6;
      default: return 8;
    }
  }
  // Pre-order offsets of nodes and literals.
  void Place(const Node& n) {
    nodeOffset_.push_back({&n, nodeSize_});
    nodeSize_ += NodeBytes(n);
    ++count_;
    if (!n.literal.empty()) {
      literalOffset_.push_back({&n, literalSize_});
      literalSize_ += n.literal.size();
    }
    for (const auto& c : n.children) Place(*c);
  }
  template <class K>
  static std::size_t Lookup(const std::vector<std::pair<const Node*, std::size_t>>& aTable, const K* aKey) {
    for (const auto& [k, v] : aTable)
      if (k == aKey) return v;
    return 0;
  }
  void put16(std::size_t aAt, std::uint16_t aValue) { std::memcpy(out_.data() + aAt, &aValue, 2); }
  void put32(std::size_t aAt, std::uint32_t aValue) { std::memcpy(out_.data() + aAt, &aValue, 4); }
  std::uint16_t NodeRef(const Node& n) const { return static_cast<std::uint16_t>(Lookup(nodeOffset_, &n)); }

  void Emit(const Node& n) {
    std::size_t at = kHeaderSize + Lookup(nodeOffset_, &n);
    put32(at, n.cls);
    put32(at + 4, n.op);
    at += 8;
    const auto literal = static_cast<std::uint16_t>(Lookup(literalOffset_, &n));
    switch (n.cls) {
      case nodeUNARY:
        put16(at, NodeRef(*n.children[0]));
        break;
      case nodeBINARY:
        put16(at, NodeRef(*n.children[0]));
        put16(at + 2, NodeRef(*n.children[1]));
        break;
      case nodeCOMPARE:
        put16(at, n.caseInsensitive);
        put16(at + 2, n.partialLength);
        put16(at + 4, NodeRef(*n.children[0]));
        put16(at + 6, NodeRef(*n.children[1]));
        break;
      case nodeFIELD:
        put16(at, static_cast<std::uint16_t>(n.field.fieldNo));
        put16(at + 2, literal);
        break;
      case nodeCONST:
        put16(at, n.constType);
        put16(at + 2, static_cast<std::uint16_t>(n.literal.size()));
        put16(at + 4, literal);
        break;
      default:
        break;
    }
    if (!n.literal.empty())
      std::memcpy(out_.data() + kHeaderSize + nodeSize_ + literal, n.literal.data(), n.literal.size());
    for (const auto& c : n.children) Emit(*c);
  }

  std::vector<std::pair<const Node*, std::size_t>> nodeOffset_;
  std::vector<std::pair<const Node*, std::size_t>> literalOffset_;
  std::size_t nodeSize_ = 0;
  std::size_t literalSize_ = 0;
  std::size_t count_ = 0;
  TCANExprBytes out_;
};

// ---------------------------------------------------------------------------
// Parsing

enum class Tok { End, Name, Text, Number, LParen, RParen, Eq, Ne, Lt, Gt, Le, Ge, And, Or, Not, Is, Null, Like, True, False };

struct Token {
  Tok kind = Tok::End;
  UnicodeString text;
};

bool isNameChar(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'_' ||
         c == u'.' || c == u'$' || c >= 0x80;
}

class Lexer {
 public:
  explicit Lexer(UnicodeStringView aText) : text_(aText) {}

  Token Next() {
    while (pos_ < text_.size() && text_[pos_] <= u' ') ++pos_;
    Token t;
    if (pos_ >= text_.size()) return t;
    const char16_t c = text_[pos_];
    switch (c) {
      case u'(': ++pos_; t.kind = Tok::LParen; return t;
      case u')': ++pos_; t.kind = Tok::RParen; return t;
      case u'=': ++pos_; t.kind = Tok::Eq; return t;
      case u'<':
        ++pos_;
        if (pos_ < text_.size() && text_[pos_] == u'>') { ++pos_; t.kind = Tok::Ne; }
        else if (pos_ < text_.size() && text_[pos_] == u'=') { ++pos_; t.kind = Tok::Le; }
        else t.kind = Tok::Lt;
        return t;
      case u'>':
        ++pos_;
        if (pos_ < text_.size() && text_[pos_] == u'=') { ++pos_; t.kind = Tok::Ge; }
        else t.kind = Tok::Gt;
        return t;
      case u'\'':
        t.kind = Tok::Text;
        t.text = Quoted(u'\'');
        return t;
      case u'"':
        t.kind = Tok::Name;
        t.text = Quoted(u'"');
        return t;
      case u'[': {
        const std::size_t end = text_.find(u']', pos_ + 1);
        if (end == UnicodeStringView::npos) DatabaseError(dbmsg::SExprUnterminated);
        t.kind = Tok::Name;
        t.text = UnicodeString(text_.substr(pos_ + 1, end - pos_ - 1));
        pos_ = end + 1;
        return t;
      }
      default:
        break;
    }
    if ((c >= u'0' && c <= u'9') || c == u'-' || c == u'+') {
      const std::size_t start = pos_++;
      while (pos_ < text_.size() && ((text_[pos_] >= u'0' && text_[pos_] <= u'9') || text_[pos_] == u'.' ||
                                     text_[pos_] == u'e' || text_[pos_] == u'E' ||
                                     ((text_[pos_] == u'-' || text_[pos_] == u'+') &&
                                      (text_[pos_ - 1] == u'e' || text_[pos_ - 1] == u'E'))))
        ++pos_;
      t.kind = Tok::Number;
      t.text = UnicodeString(text_.substr(start, pos_ - start));
      if (t.text == u"-" || t.text == u"+") DatabaseErrorFmt(dbmsg::SExprSyntax, {t.text});
      return t;
    }
    if (!isNameChar(c)) DatabaseErrorFmt(dbmsg::SExprSyntax, {UnicodeString(1, c)});
    const std::size_t start = pos_;
    while (pos_ < text_.size() && isNameChar(text_[pos_])) ++pos_;
    t.text = UnicodeString(text_.substr(start, pos_ - start));
    static const std::pair<const char16_t*, Tok> keywords[] = {
        {u"AND", Tok::And}, {u"OR", Tok::Or}, {u"NOT", Tok::Not}, {u"IS", Tok::Is}, {u"NULL", Tok::Null},
        {u"LIKE", Tok::Like}, {u"TRUE", Tok::True}, {u"FALSE", Tok::False}};
    t.kind = Tok::Name;
    for (const auto& [word, kind] : keywords)
      if (sameTextAscii(t.text, word)) t.kind = kind;
    return t;
  }

 private:
  UnicodeString Quoted(char16_t aQuote) {
    UnicodeString s;
    ++pos_;
    for (;;) {
      if (pos_ >= text_.size()) DatabaseError(dbmsg::SExprUnterminated);
      const char16_t c = text_[pos_++];
      if (c == aQuote) {
        if (pos_ < text_.size() && text_[pos_] == aQuote) {
          s.push_back(c);
          ++pos_;
          continue;
        }
        return s;
      }
      s.push_back(c);
    }
  }

  UnicodeStringView text_;
  std::size_t pos_ = 0;
};

// An operand before it is typed: a field, or a constant still in its text form.
struct Operand {
  enum Kind { Field, Text, Number, Boolean, Null } kind = Null;
  UnicodeString text;
  TFilterField field;
  bool value = false;
};

class Parser {
 public:
  Parser(UnicodeStringView aText, TFilterOptions aOptions, std::uint16_t aCodePage, const TFilterFieldResolver& aResolver)
      : lexer_(aText), options_(aOptions), codePage_(aCodePage), resolver_(aResolver) {
    Advance();
  }

  NodePtr Parse() {
    if (tok_.kind == Tok::End) DatabaseError(dbmsg::SExprEmpty);
    NodePtr n = Expr();
    if (tok_.kind != Tok::End) SyntaxError();
    return n;
  }

 private:
  void Advance() { tok_ = lexer_.Next(); }
  [[noreturn]] void SyntaxError() {
    DatabaseErrorFmt(dbmsg::SExprSyntax, {tok_.kind == Tok::End ? UnicodeString(u"<end>") : tok_.text});
  }

  NodePtr Expr() {
    NodePtr left = Term();
    while (tok_.kind == Tok::Or) {
      Advance();
      left = binaryNode(coOR, std::move(left), Term());
    }
    return left;
  }
  NodePtr Term() {
    NodePtr left = Factor();
    while (tok_.kind == Tok::And) {
      Advance();
      left = binaryNode(coAND, std::move(left), Factor());
    }
    return left;
  }
  NodePtr Factor() {
    if (tok_.kind == Tok::Not) {
      Advance();
      return unaryNode(coNOT, Factor());
    }
    if (tok_.kind == Tok::LParen) {
      Advance();
      NodePtr n = Expr();
      if (tok_.kind != Tok::RParen) SyntaxError();
      Advance();
      return n;
    }
    Operand left = ReadOperand();
    switch (tok_.kind) {
      case Tok::Is: {
        Advance();
        bool negate = false;
        if (tok_.kind == Tok::Not) {
          negate = true;
          Advance();
        }
        if (tok_.kind != Tok::Null) SyntaxError();
        Advance();
        return unaryNode(negate ? coNOTBLANK : coISBLANK, Materialize(left, nullptr));
      }
      case Tok::Eq: case Tok::Ne: case Tok::Lt: case Tok::Gt: case Tok::Le: case Tok::Ge: case Tok::Like: {
        const Tok opTok = tok_.kind;
        Advance();
        Operand right = ReadOperand();
        return Comparison(opTok, left, right);
      }
      default:
        // A lone operand: a Boolean field or constant.
        return Materialize(left, nullptr);
    }
  }

  Operand ReadOperand() {
    Operand o;
    switch (tok_.kind) {
      case Tok::Name:
        o.kind = Operand::Field;
        o.text = tok_.text;
        if (!resolver_(o.text, o.field) || o.field.fieldNo <= 0)
          DatabaseErrorFmt(dbmsg::SExprNoField, {o.text});
        break;
      case Tok::Text: o.kind = Operand::Text; o.text = tok_.text; break;
      case Tok::Number: o.kind = Operand::Number; o.text = tok_.text; break;
      case Tok::True: o.kind = Operand::Boolean; o.value = true; break;
      case Tok::False: o.kind = Operand::Boolean; o.value = false; break;
      case Tok::Null: o.kind = Operand::Null; break;
      default: SyntaxError();
    }
    Advance();
    return o;
  }

  NodePtr Comparison(Tok aOp, Operand& aLeft, Operand& aRight) {
    if (aRight.kind == Operand::Null || aLeft.kind == Operand::Null) {
      if (aOp != Tok::Eq && aOp != Tok::Ne) SyntaxError();
      Operand& other = aRight.kind == Operand::Null ? aLeft : aRight;
      if (other.kind == Operand::Null) SyntaxError();
      return unaryNode(aOp == Tok::Eq ? coISBLANK : coNOTBLANK, Materialize(other, nullptr));
    }
    TCANOperator op = coEQ;
    switch (aOp) {
      case Tok::Ne: op = coNE; break;
      case Tok::Lt: op = coLT; break;
      case Tok::Gt: op = coGT; break;
      case Tok::Le: op = coLE; break;
      case Tok::Ge: op = coGE; break;
      case Tok::Like: op = coLIKE; break;
      default: break;
    }
    // A partial compare: 'abc*' against a text field with = or <>.
    std::uint16_t partial = 0;
    for (Operand* o : {&aLeft, &aRight}) {
      if (o->kind != Operand::Text) continue;
      if (op == coLIKE) {
        while (!o->text.empty() && o->text.front() == u'%') o->text.erase(0, 1);
        while (!o->text.empty() && o->text.back() == u'%') o->text.pop_back();
      } else if ((op == coEQ || op == coNE) && !options_.contains(foNoPartialCompare) && o->text.size() > 1 &&
                 o->text.back() == u'*') {
        o->text.pop_back();
        partial = static_cast<std::uint16_t>(std::min<std::size_t>(o->text.size(), 0xFFFF));
      }
    }
    const TFilterField* field =
        aLeft.kind == Operand::Field ? &aLeft.field : (aRight.kind == Operand::Field ? &aRight.field : nullptr);
    NodePtr l = Materialize(aLeft, aRight.kind == Operand::Field ? &aRight.field : nullptr);
    NodePtr r = Materialize(aRight, aLeft.kind == Operand::Field ? &aLeft.field : nullptr);
    const bool text = (field && isTextType(field->dataType)) || aLeft.kind == Operand::Text || aRight.kind == Operand::Text;
    const bool caseIns = text && options_.contains(foCaseInsensitive);
    if (caseIns || partial > 0 || (text && op == coLIKE))
      return compareNode(op, caseIns, partial, std::move(l), std::move(r));
    return binaryNode(op, std::move(l), std::move(r));
  }

  // The node of an operand; a constant takes the type of aOther's field.
  NodePtr Materialize(const Operand& aOperand, const TFilterField* aOther) {
    const TFieldType target = aOther ? aOther->dataType : ftUnknown;
    switch (aOperand.kind) {
      case Operand::Field:
        return fieldNode(aOperand.text, aOperand.field, codePage_);
      case Operand::Boolean:
        return constNode(ctBoolean, filterBytesOf(static_cast<std::uint16_t>(aOperand.value ? 0xFFFF : 0)));
      case Operand::Number:
        if (target != ftUnknown && !isTextType(target)) return Typed(target, aOperand.text);
        return NumberConst(aOperand.text);
      case Operand::Text:
        if (target != ftUnknown && !isTextType(target)) return Typed(target, aOperand.text);
        return textConst(aOperand.text, codePage_);
      case Operand::Null:
        break;
    }
    SyntaxError();
  }

  NodePtr NumberConst(const UnicodeString& aText) {
    try {
      const bool isFloat = aText.find_first_of(u".eE") != UnicodeString::npos;
      if (isFloat) return constNode(ctFloat, filterBytesOf(strToFloat(aText, invariantFormatSettings())));
      const std::int64_t v = Variant(aText).toInt64();
      if (v >= INT32_MIN && v <= INT32_MAX) return constNode(ctInt32, filterBytesOf(static_cast<std::int32_t>(v)));
      return constNode(ctInt64, filterBytesOf(v));
    } catch (const RuntimeError&) {
      DatabaseErrorFmt(dbmsg::SExprSyntax, {aText});
    }
  }

  NodePtr Typed(TFieldType aType, const UnicodeString& aText) {
    try {
      Variant v(aText);
      switch (aType) {
        case ftDate: v = Variant::fromDate(strToDate(aText)); break;
        case ftTime: v = Variant::fromDate(strToTime(aText)); break;
        case ftDateTime: case ftTimeStamp: v = Variant::fromDate(strToDateTime(aText)); break;
        case ftFloat: case ftCurrency: case ftSingle: case ftExtended: case ftBCD: case ftFMTBcd:
          v = Variant(strToFloat(aText, invariantFormatSettings()));
          break;
        default: break;
      }
      return typedConst(aType, v, codePage_);
    } catch (const RuntimeError&) {
      DatabaseErrorFmt(dbmsg::SExprBadConstant, {aText, fieldTypeName(aType)});
    }
  }

  Lexer lexer_;
  Token tok_;
  TFilterOptions options_;
  std::uint16_t codePage_;
  const TFilterFieldResolver& resolver_;
};

}  // namespace

TCANExprBytes compileFilter(UnicodeStringView aText, TFilterOptions aOptions, std::uint16_t aCodePage,
                            const TFilterFieldResolver& aResolver) {
  const std::uint16_t cp = aCodePage ? aCodePage : ansiCodePage();
  Parser parser(aText, aOptions, cp, aResolver);
  const NodePtr root = parser.Parse();
  return Writer().Write(*root);
}

TCANExprBytes compileFilter(UnicodeStringView aText, TFilterOptions aOptions, std::uint16_t aCodePage,
                            const TFields& aFields) {
  return compileFilter(aText, aOptions, aCodePage, [&aFields](UnicodeStringView aName, TFilterField& aField) {
    const TField* f = aFields.FindField(aName);
    if (!f || f->FieldNo() <= 0) return false;
    aField.fieldNo = f->FieldNo();
    aField.dataType = f->DataType();
    return true;
  });
}

TCANExprBytes buildLocateFilter(const std::vector<TField*>& aFields, const Variant& aValues, TLocateOptions aOptions,
                                std::uint16_t aCodePage) {
  const std::uint16_t cp = aCodePage ? aCodePage : ansiCodePage();
  if (aFields.empty()) DatabaseError(dbmsg::SExprEmpty);
  NodePtr tree;
  for (std::size_t i = 0; i < aFields.size(); ++i) {
    const TField* f = aFields[i];
    const Variant value = aValues.isArray() && !aValues.isByteArray()
                              ? aValues.arrayGet(aValues.arrayLowBound() + static_cast<int>(i))
                              : aValues;
    const TFilterField info{f->FieldNo(), f->DataType()};
    NodePtr cmp;
    if (value.isNullOrEmpty()) {
      cmp = unaryNode(coISBLANK, fieldNode(f->FieldName(), info, cp));
    } else {
      const bool text = isTextType(f->DataType());
      std::uint16_t partial = 0;
      if (text && aOptions.contains(loPartialKey) && i + 1 == aFields.size())
        partial = static_cast<std::uint16_t>(std::min<std::size_t>(value.toString().size(), 0xFFFF));
      cmp = compareNode(coEQ, text && aOptions.contains(loCaseInsensitive), partial,
                        fieldNode(f->FieldName(), info, cp), typedConst(f->DataType(), value, cp));
    }
    tree = tree ? binaryNode(coAND, std::move(tree), std::move(cmp)) : std::move(cmp);
  }
  return Writer().Write(*tree);
}

}  // namespace platform
