#include "nxsdFilterEngineSimpleExpression.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "nxllBde.h"
#include "nxllLockedFuncs.h"
#include "nxllUtils.h"
#include "nxsdFmtBcd.h"
#include "plCodePage.h"
#include "plCollation.h"
#include "plGuid.h"
#include "plLocale.h"
#include "plNormalize.h"

NX_IMPLEMENT_EXCEPTION(EnxSimpleExpressionFilterDescriptorException, EnxBaseFilterDescriptorException)
NX_IMPLEMENT_EXCEPTION(EnxSimpleExpressionFilterEngineException, EnxBaseFilterEngineException)

PL_CLASS_INFO_IMPL(TnxBaseSimpleExpressionFilterDescriptor, TnxBaseFilterDescriptor,
                   "TnxBaseSimpleExpressionFilterDescriptor", nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxSimpleExpressionFilterDescriptor, TnxBaseSimpleExpressionFilterDescriptor,
                         "TnxSimpleExpressionFilterDescriptor", nullptr,
                         platform::bindClassTable(nxFilterDescriptorFuncs<TnxSimpleExpressionFilterDescriptor>))
PL_CLASS_INFO_IMPL(TnxBaseSimpleExpressionFilterEngine, TnxBaseFilterEngine, "TnxBaseSimpleExpressionFilterEngine",
                   nullptr)
PL_CLASS_INFO_IMPL_TABLE(TnxSimpleExpressionFilterEngine, TnxBaseSimpleExpressionFilterEngine,
                         "TnxSimpleExpressionFilterEngine", nullptr,
                         platform::bindClassTable(nxFilterEngineFuncs<TnxSimpleExpressionFilterEngine>))

namespace {

constexpr std::size_t kHeaderSize = sizeof(CANExpr);
// Bounds that no compiled filter text comes near; they keep a hostile
// expression from costing unbounded stack or time.
constexpr int kMaxDepth = 512;
constexpr int kMaxVisits = 65536;

template <class T>
T loadOperand(const void* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Bytes a constant of a type occupies at its literal; 0 for the
// variable-length forms and for types read as plain bytes.
std::size_t constantSize(std::uint16_t aType) {
  switch (aType) {
    case nxCANDate:
    case nxCANInt32:
    case nxCANTime:
    case nxCANWord32:
    case nxCANSingle: return 4;
    case nxCANBoolean:
    case nxCANInt16:
    case nxCANWord16: return 2;
    case nxCANFloat:
    case nxCANTimeStamp:
    case nxCANInt64: return 8;
    case nxCANExtended: return 10;
    case nxCANBcd: return 2;  // precision and sign/scale at least; the size field gives the rest
    default: return 0;
  }
}

[[noreturn]] void invalidFilter() { throw EnxSimpleExpressionFilterDescriptorException(nxErrInvalidFilter); }

class Checker {
 public:
  explicit Checker(const std::vector<std::uint8_t>& aExpr) : e_(aExpr) {}

  void Run() {
    if (e_.empty()) return;
    if (e_.size() < kHeaderSize) invalidFilter();
    total_ = loadOperand<std::uint16_t>(e_.data() + 2);
    if (total_ < kHeaderSize || total_ > e_.size()) invalidFilter();
    nodeStart_ = loadOperand<std::uint16_t>(e_.data() + 6);
    literalStart_ = loadOperand<std::uint16_t>(e_.data() + 8);
    if (nodeStart_ < kHeaderSize || nodeStart_ >= total_ || literalStart_ > total_) invalidFilter();
    Node(0, 0);
  }

 private:
  void Need(std::size_t aAt, std::size_t aCount) const {
    if (aAt > total_ || aCount > total_ - aAt) invalidFilter();
  }
  std::size_t Literal(std::uint16_t aOffset, std::size_t aCount) const {
    const std::size_t at = static_cast<std::size_t>(literalStart_) + aOffset;
    Need(at, aCount);
    return at;
  }
  void Terminated(std::size_t aAt) const {
    if (!std::memchr(e_.data() + aAt, 0, total_ - aAt)) invalidFilter();
  }

  void Node(std::uint16_t aOffset, int aDepth) {
    if (aDepth > kMaxDepth || ++visits_ > kMaxVisits || onPath_[aOffset]) invalidFilter();
    const std::size_t at = static_cast<std::size_t>(nodeStart_) + aOffset;
    Need(at, 8);
    const auto cls = loadOperand<std::uint32_t>(e_.data() + at);
    auto operand = [&](int i) {
      Need(at + 8 + 2 * static_cast<std::size_t>(i), 2);
      return loadOperand<std::uint16_t>(e_.data() + at + 8 + 2 * i);
    };
    onPath_[aOffset] = true;
    switch (cls) {
      case nxCANUnary: Node(operand(0), aDepth + 1); break;
      case nxCANBinary:
        Node(operand(0), aDepth + 1);
        Node(operand(1), aDepth + 1);
        break;
      case nxCANCompare:
        operand(0);
        operand(1);
        Node(operand(2), aDepth + 1);
        Node(operand(3), aDepth + 1);
        break;
      case nxCANField: {
        operand(0);
        const std::size_t name = Literal(operand(1), 1);
        Terminated(name);
        break;
      }
      case nxCANConst: {
        const std::uint16_t type = operand(0);
        const std::uint16_t size = operand(1);
        const std::uint16_t literal = operand(2);
        const std::size_t where = Literal(literal, std::max<std::size_t>(size, constantSize(type)));
        if (type == nxCANText) Terminated(where);
        if (type == nxCANWideText) {
          Need(where, 2);
          const std::uint16_t bytes = loadOperand<std::uint16_t>(e_.data() + where);
          Need(where + 2, bytes);
        }
        break;
      }
      case nxCANContinue: operand(0); break;
      default: break;  // evaluates to False
    }
    onPath_[aOffset] = false;
  }

  const std::vector<std::uint8_t>& e_;
  std::size_t total_ = 0;
  std::uint16_t nodeStart_ = 0;
  std::uint16_t literalStart_ = 0;
  int visits_ = 0;
  std::bitset<65536> onPath_;
};

TnxCANExpr copyFromPointer(const void* aExpression) {
  if (!aExpression) return std::make_shared<const std::vector<std::uint8_t>>();
  const auto total = loadOperand<std::uint16_t>(static_cast<const std::uint8_t*>(aExpression) + 2);
  const auto* p = static_cast<const std::uint8_t*>(aExpression);
  return std::make_shared<const std::vector<std::uint8_t>>(p, p + total);
}

// ------------------------------------------------------------------ evaluation

struct Operand {
  std::uint16_t type = 0;
  std::uint16_t size = 0;
  const void* value = nullptr;
  std::uint16_t codePage = 0;
  bool isNull = false;
  bool isConst = false;
};

constexpr std::uint16_t kFalseWord = 0;
constexpr std::uint16_t kTrueWord = 0xFFFF;

enum class Domain { Text, DateTime, Boolean, Integer, Float, Bytes };

Domain domainOf(const Operand& o) {
  if (o.isConst) {
    switch (o.type) {
      case nxCANText:
      case nxCANWideText: return Domain::Text;
      case nxCANDate:
      case nxCANTime:
      case nxCANTimeStamp: return Domain::DateTime;
      case nxCANBoolean: return Domain::Boolean;
      case nxCANInt16:
      case nxCANInt32:
      case nxCANWord16:
      case nxCANWord32:
      case nxCANInt64: return Domain::Integer;
      case nxCANFloat:
      case nxCANExtended: return Domain::Float;
      default: return Domain::Bytes;
    }
  }
  switch (static_cast<TnxFieldType>(o.type & 0xFF)) {
    case nxtChar:
    case nxtWideChar:
    case nxtShortString:
    case nxtNullString:
    case nxtWideString:
    case nxtGuid: return Domain::Text;
    case nxtDate:
    case nxtTime:
    case nxtDateTime:
    case nxtInterval: return Domain::DateTime;
    case nxtBoolean: return Domain::Boolean;
    case nxtByte:
    case nxtWord16:
    case nxtWord32:
    case nxtInt8:
    case nxtInt16:
    case nxtInt32:
    case nxtInt64:
    case nxtAutoInc:
    case nxtRecRev:
    case nxtRefNr: return Domain::Integer;
    case nxtSingle:
    case nxtDouble:
    case nxtExtended:
    case nxtCurrency:
    case nxtBCD:
    case nxtFmtBCD: return Domain::Float;
    default: return Domain::Bytes;
  }
}

bool asInt64(const Operand& o, std::int64_t& v) {
  const void* p = o.value;
  if (o.isConst) {
    switch (o.type) {
      case nxCANInt16: v = loadOperand<std::int16_t>(p); return true;
      case nxCANInt32: v = loadOperand<std::int32_t>(p); return true;
      case nxCANWord16: v = loadOperand<std::uint16_t>(p); return true;
      case nxCANWord32: v = loadOperand<std::uint32_t>(p); return true;
      case nxCANInt64: v = loadOperand<std::int64_t>(p); return true;
      default: return false;
    }
  }
  switch (static_cast<TnxFieldType>(o.type & 0xFF)) {
    case nxtByte: v = loadOperand<std::uint8_t>(p); return true;
    case nxtWord16: v = loadOperand<std::uint16_t>(p); return true;
    case nxtWord32:
    case nxtAutoInc:
    case nxtRecRev: v = loadOperand<std::uint32_t>(p); return true;
    case nxtInt8: v = loadOperand<std::int8_t>(p); return true;
    case nxtInt16: v = loadOperand<std::int16_t>(p); return true;
    case nxtInt32: v = loadOperand<std::int32_t>(p); return true;
    case nxtInt64:
    case nxtRefNr: v = loadOperand<std::int64_t>(p); return true;
    default: return false;
  }
}

long double bcdToFloat(const void* p, std::size_t aBytes, bool& aOk) {
  TnxFmtBcd bcd{};
  std::memcpy(&bcd, p, std::min(aBytes, sizeof bcd));
  try {
    aOk = true;
    return nxBcdToDouble(bcd);
  } catch (...) {
    aOk = false;
    return 0;
  }
}

bool asFloat(const Operand& o, long double& v) {
  const void* p = o.value;
  if (o.isConst) {
    bool ok = true;
    switch (o.type) {
      case nxCANFloat: v = loadOperand<double>(p); return true;
      case nxCANExtended: v = loadOperand<platform::Extended>(p).toLongDouble(); return true;
      case nxCANSingle: v = loadOperand<float>(p); return true;
      case nxCANBcd: v = bcdToFloat(p, o.size, ok); return ok;
      default: break;
    }
  } else {
    bool ok = true;
    switch (static_cast<TnxFieldType>(o.type & 0xFF)) {
      case nxtSingle: v = loadOperand<float>(p); return true;
      case nxtDouble: v = loadOperand<double>(p); return true;
      case nxtExtended: v = loadOperand<platform::Extended>(p).toLongDouble(); return true;
      case nxtCurrency:
      case nxtBCD: v = static_cast<long double>(loadOperand<std::int64_t>(p)) / 10000; return true;
      case nxtFmtBCD:
        v = bcdToFloat(p, static_cast<std::size_t>(nxFieldTypeStorageLength(nxtFmtBCD, o.size)), ok);
        return ok;
      default: break;
    }
  }
  std::int64_t i = 0;
  if (asInt64(o, i)) {
    v = static_cast<long double>(i);
    return true;
  }
  return false;
}

constexpr double kExpressionMSecsPerDay = 86400000.0;
constexpr double kTimeDay = 693594.0;

bool asDateTime(const Operand& o, double& v) {
  const void* p = o.value;
  if (o.isConst) {
    switch (o.type) {
      case nxCANDate: v = loadOperand<std::int32_t>(p) * kExpressionMSecsPerDay; return true;
      case nxCANTime: v = kTimeDay * kExpressionMSecsPerDay + loadOperand<std::int32_t>(p); return true;
      case nxCANTimeStamp: v = loadOperand<double>(p); return true;
      default: return false;
    }
  }
  switch (static_cast<TnxFieldType>(o.type & 0xFF)) {
    case nxtDate: v = loadOperand<std::int32_t>(p) * kExpressionMSecsPerDay; return true;
    case nxtTime: v = kTimeDay * kExpressionMSecsPerDay + loadOperand<std::int32_t>(p); return true;
    case nxtDateTime:
    case nxtInterval: v = loadOperand<double>(p); return true;
    default: return false;
  }
}

bool asBoolean(const Operand& o, bool& v) {
  if (!o.value) return false;  // a node that gives no value (continue)
  if (o.isConst) {
    if (o.type != nxCANBoolean) return false;
    v = loadOperand<std::uint16_t>(o.value) != 0;
    return true;
  }
  if ((o.type & 0xFF) != nxtBoolean) return false;
  v = loadOperand<std::uint8_t>(o.value) != 0;
  return true;
}

// Code pages whose bytes below $80 are ASCII, so such text needs no converter.
bool asciiCompatible(std::uint16_t aCodePage) {
  switch (aCodePage) {
    case 0:
    case 3:
    case 874:
    case 932:
    case 936:
    case 949:
    case 950:
    case 65001: return true;
    default: return (aCodePage >= 1250 && aCodePage <= 1258) || (aCodePage >= 28591 && aCodePage <= 28605);
  }
}

bool decode8(std::string_view aBytes, std::uint16_t aCodePage, std::u16string& aOut) {
  if (asciiCompatible(aCodePage) &&
      std::all_of(aBytes.begin(), aBytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    aOut.assign(aBytes.begin(), aBytes.end());
    return true;
  }
  try {
    aOut = platform::decodeText(aBytes, aCodePage);
  } catch (const platform::OsError& e) {
    nxRaiseOSError(e.code(), 0, u"ConvertStringValue");
  }
  return true;
}

std::size_t wideLen(const void* p, std::size_t aMax) {
  for (std::size_t i = 0; i < aMax; ++i)
    if (loadOperand<char16_t>(static_cast<const std::uint8_t*>(p) + 2 * i) == 0) return i;
  return aMax;
}

// The operand as UTF-16 text; false when it is no text.
bool asText(const Operand& o, std::u16string& aOut) {
  const auto* p = static_cast<const std::uint8_t*>(o.value);
  if (o.isConst) {
    if (o.type == nxCANText) return decode8(reinterpret_cast<const char*>(p), o.codePage, aOut);
    if (o.type == nxCANWideText) {
      const std::size_t units = loadOperand<std::uint16_t>(p) / 2;
      aOut.resize(units);
      std::memcpy(aOut.data(), p + 2, units * 2);
      return true;
    }
    return false;
  }
  switch (static_cast<TnxFieldType>(o.type & 0xFF)) {
    case nxtChar: return decode8({reinterpret_cast<const char*>(p), 1}, o.codePage, aOut);
    case nxtShortString: return decode8({reinterpret_cast<const char*>(p), o.size}, o.codePage, aOut);
    case nxtNullString: {
      // Bounded by the field: a missing terminator ends at its units.
      const std::size_t max = static_cast<std::size_t>(o.size) + 1;
      const void* z = std::memchr(p, 0, max);
      const std::size_t n = z ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(z) - p) : max;
      return decode8({reinterpret_cast<const char*>(p), n}, o.codePage, aOut);
    }
    case nxtWideChar: aOut.assign(1, loadOperand<char16_t>(p)); return true;
    case nxtWideString: {
      const std::size_t n = wideLen(p, static_cast<std::size_t>(o.size) + 1);
      aOut.resize(n);
      std::memcpy(aOut.data(), p, n * 2);
      return true;
    }
    case nxtGuid: {
      aOut = platform::guidToString(loadOperand<platform::Guid>(p));
      for (char16_t& c : aOut)
        if (c >= u'a' && c <= u'f') c = static_cast<char16_t>(c - 32);
      return true;
    }
    default: return false;
  }
}

int threeWay(int r) { return r < 0 ? -1 : (r > 0 ? 1 : 0); }

class Evaluator {
 public:
  Evaluator(const std::vector<std::uint8_t>& aExpr, InxFieldsSource* aSource, std::uint16_t aCodePage,
            const void* aRecord)
      : base_(aExpr.data()),
        nodeStart_(loadOperand<std::uint16_t>(aExpr.data() + 6)),
        literalStart_(loadOperand<std::uint16_t>(aExpr.data() + 8)),
        source_(aSource),
        codePage_(aCodePage),
        record_(aRecord) {}

  // REQUIRES: the expression passed nxCheckCANExpr.
  bool Eval(std::uint16_t aNode, Operand* aValue) {
    const std::uint8_t* n = base_ + nodeStart_ + aNode;
    const auto cls = loadOperand<std::uint32_t>(n);
    const auto op = loadOperand<std::uint32_t>(n + 4);
    auto operand = [n](int i) { return loadOperand<std::uint16_t>(n + 8 + 2 * i); };
    if (aValue) *aValue = Operand{};
    bool result = false;
    switch (cls) {
      case nxCANField: {
        const std::int32_t number = operand(0);
        if (!aValue) return source_ && number >= 1 && number <= source_->GetFieldCount();
        if (!source_) return false;
        const char* name = reinterpret_cast<const char*>(base_ + literalStart_ + operand(1));
        aValue->isConst = false;
        return source_->GetFieldForFilter(number - 1, name, record_, aValue->type, aValue->size, aValue->isNull,
                                          aValue->value, aValue->codePage);
      }
      case nxCANConst:
        if (aValue) {
          aValue->type = operand(0);
          aValue->size = operand(1);
          aValue->value = base_ + literalStart_ + operand(2);
          aValue->codePage = codePage_;
          aValue->isConst = true;
        }
        return true;
      case nxCANContinue: return operand(0) != 0;
      case nxCANUnary: result = Unary(op, operand(0)); break;
      case nxCANBinary:
        if (op == coAND) {
          result = Eval(operand(0), nullptr) && Eval(operand(1), nullptr);
        } else if (op == coOR) {
          result = Eval(operand(0), nullptr) || Eval(operand(1), nullptr);
        } else {
          result = Compare(op, operand(0), operand(1), 0, false);
        }
        break;
      case nxCANCompare: result = Compare(op, operand(2), operand(3), operand(1), operand(0) != 0); break;
      default: return false;
    }
    if (aValue) {
      aValue->type = nxCANBoolean;
      aValue->size = 2;
      aValue->value = result ? &kTrueWord : &kFalseWord;
      aValue->isConst = true;
    }
    return result;
  }

 private:
  bool Unary(std::uint32_t aOp, std::uint16_t aOperand) {
    Operand v;
    if (!Eval(aOperand, &v)) return aOp == coNOT;
    switch (aOp) {
      case coISBLANK: return v.isNull;
      case coNOTBLANK: return !v.isNull;
      case coNOT: {
        if (v.isNull) return true;
        bool b = false;
        return !(asBoolean(v, b) && b);
      }
      default: return false;
    }
  }

  bool Compare(std::uint32_t aOp, std::uint16_t aLeft, std::uint16_t aRight, std::uint16_t aPartial,
               bool aIgnoreCase) {
    if (aOp < coEQ || (aOp > coLE && aOp != coLIKE)) return false;
    Operand l, r;
    if (!Eval(aLeft, &l) || !Eval(aRight, &r)) return false;
    int rel = 0;
    if (l.isNull) {
      rel = r.isNull ? 0 : -1;
    } else if (r.isNull) {
      rel = 1;
    } else if (!Order(aOp, l, r, aPartial, aIgnoreCase, rel)) {
      return false;  // the right value has no meaning in the left's domain
    }
    switch (aOp) {
      case coEQ:
      case coLIKE: return rel == 0;
      case coNE: return rel != 0;
      case coGT: return rel > 0;
      case coLT: return rel < 0;
      case coGE: return rel >= 0;
      case coLE: return rel <= 0;
      default: return false;
    }
  }

  static bool Order(std::uint32_t aOp, const Operand& l, const Operand& r, std::uint16_t aPartial, bool aIgnoreCase,
                    int& aRel) {
    if (!l.value || !r.value) return false;  // a node that gives no value (continue)
    switch (domainOf(l)) {
      case Domain::Integer: {
        std::int64_t a = 0, b = 0;
        if (asInt64(l, a) && asInt64(r, b)) {
          aRel = a < b ? -1 : (a > b ? 1 : 0);
          return true;
        }
        long double fa = 0, fb = 0;
        if (!asFloat(l, fa) || !asFloat(r, fb)) return false;
        aRel = fa < fb ? -1 : (fa > fb ? 1 : 0);
        return true;
      }
      case Domain::Float: {
        long double a = 0, b = 0;
        if (!asFloat(l, a) || !asFloat(r, b)) return false;
        const long double tolerance = std::max(std::min(std::fabs(a), std::fabs(b)) * 1e-16L, 1e-16L);
        aRel = std::fabs(a - b) <= tolerance ? 0 : (a < b ? -1 : 1);
        return true;
      }
      case Domain::DateTime: {
        double a = 0, b = 0;
        if (!asDateTime(l, a) || !asDateTime(r, b)) return false;
        const double tolerance = std::max(std::min(std::fabs(a), std::fabs(b)) * 1e-12, 1e-12);
        aRel = std::fabs(a - b) <= tolerance ? 0 : (a < b ? -1 : 1);
        return true;
      }
      case Domain::Boolean: {
        bool a = false, b = false;
        if (!asBoolean(l, a) || !asBoolean(r, b)) return false;
        aRel = static_cast<int>(a) - static_cast<int>(b);
        return true;
      }
      case Domain::Bytes: {
        const std::size_t n = std::min(l.size, r.size);
        aRel = threeWay(n ? std::memcmp(l.value, r.value, n) : 0);
        return true;
      }
      case Domain::Text: break;
    }
    std::u16string a, b;
    if (!asText(l, a) || !asText(r, b)) return false;
    if (aPartial > 0) {
      // LIKE reads a wide-string field whole.
      auto wideField = [](const Operand& o) { return !o.isConst && (o.type & 0xFF) == nxtWideString; };
      if (a.size() > aPartial && !(aOp == coLIKE && wideField(l))) a.resize(aPartial);
      if (b.size() > aPartial && !(aOp == coLIKE && wideField(r))) b.resize(aPartial);
    }
    if (aOp == coLIKE) {
      if (aIgnoreCase) {
        a = platform::charLower(a);
        b = platform::charLower(b);
      }
      aRel = !b.empty() && a.find(b) != std::u16string::npos ? 0 : -1;
      return true;
    }
    if (aIgnoreCase) {
      aRel = platform::compareString(platform::systemDefaultLocale(), platform::NORM_IGNORECASE, a, b);
      return true;
    }
    if (aOp == coEQ || aOp == coNE) {
      aRel = a.size() != b.size() ? (a.size() < b.size() ? -1 : 1)
                                  : threeWay(a.empty() ? 0 : std::memcmp(a.data(), b.data(), a.size() * 2));
      return true;
    }
    aRel = platform::compareString(platform::systemDefaultLocale(), 0, a, b);
    return true;
  }

  const std::uint8_t* base_;
  std::uint16_t nodeStart_;
  std::uint16_t literalStart_;
  InxFieldsSource* source_;
  std::uint16_t codePage_;
  const void* record_;
};

}  // namespace

void nxCheckCANExpr(const std::vector<std::uint8_t>& aExpression) { Checker(aExpression).Run(); }

// ------------------------------------------------------------------ descriptors

TnxBaseSimpleExpressionFilterDescriptor::TnxBaseSimpleExpressionFilterDescriptor(const void* aExpression,
                                                                                 std::int32_t aCodePage) {
  Setup(copyFromPointer(aExpression), nxString(), aCodePage);
}

TnxBaseSimpleExpressionFilterDescriptor::TnxBaseSimpleExpressionFilterDescriptor(const void* aExpression,
                                                                                 const nxString& aFilterText,
                                                                                 std::int32_t aCodePage) {
  Setup(copyFromPointer(aExpression), aFilterText, aCodePage);
}

TnxBaseSimpleExpressionFilterDescriptor::TnxBaseSimpleExpressionFilterDescriptor(TnxCANExpr aExpression,
                                                                                 std::int32_t aCodePage) {
  Setup(std::move(aExpression), nxString(), aCodePage);
}

TnxBaseSimpleExpressionFilterDescriptor::TnxBaseSimpleExpressionFilterDescriptor(TnxCANExpr aExpression,
                                                                                 const nxString& aFilterText,
                                                                                 std::int32_t aCodePage) {
  Setup(std::move(aExpression), aFilterText, aCodePage);
}

void TnxBaseSimpleExpressionFilterDescriptor::Setup(TnxCANExpr aExpression, const nxString& aFilterText,
                                                    std::int32_t aCodePage) {
  if (!aExpression) aExpression = std::make_shared<const std::vector<std::uint8_t>>();
  nxCheckCANExpr(*aExpression);
  bsfdExpression = std::move(aExpression);
  bsfdFilterText = aFilterText;
  bsfdCodePage = aCodePage;
}

namespace {
[[noreturn]] void incompatibleExpressionStream() {
  throw EnxSimpleExpressionFilterDescriptorException(nxErrIncompatibleStream);
}
}  // namespace

TnxSimpleExpressionFilterDescriptor::TnxSimpleExpressionFilterDescriptor(TStream& aStream) {
  // Every length is checked against what the stream still holds before a
  // buffer is sized from it.
  const auto read = [&](void* aBuffer, std::int64_t aCount) {
    if (aCount <= 0) return;
    if (aCount > aStream.Size() - aStream.Position()) incompatibleExpressionStream();
    if (aStream.Read(aBuffer, static_cast<std::int32_t>(aCount)) != aCount) incompatibleExpressionStream();
  };
  std::uint8_t version = 0;
  read(&version, 1);
  if (version < 1 || version > 4) incompatibleExpressionStream();
  std::uint16_t length = 0;
  read(&length, 2);
  if (length > aStream.Size() - aStream.Position()) incompatibleExpressionStream();
  std::vector<std::uint8_t> expression(length);
  read(expression.data(), length);
  nxString text;
  if (version >= 2) {
    std::uint16_t count = 0;
    read(&count, 2);
    const std::int64_t bytes = version == 2 ? count : std::int64_t{count} * 2;
    if (bytes > aStream.Size() - aStream.Position()) incompatibleExpressionStream();
    if (version == 2) {
      std::string ansi(count, '\0');
      read(ansi.data(), count);
      text = platform::ansiToUnicode(platform::AnsiString{std::move(ansi), 0});
    } else {
      text.resize(count);
      read(text.data(), bytes);
    }
  }
  std::int32_t codePage = -1;
  if (version == 4) read(&codePage, 4);
  Setup(std::make_shared<const std::vector<std::uint8_t>>(std::move(expression)), text, codePage);
}

TnxResult TnxSimpleExpressionFilterDescriptor::WriteToStream(TStream& aStream, std::int32_t aVersion) {
  WriteClassName(aStream);
  std::uint8_t version = bsfdFilterText.empty() ? 1 : 3;
  if (aVersion > 30001 && bsfdCodePage >= 0) version = 4;
  aStream.WriteBuffer(&version, 1);
  const std::vector<std::uint8_t>& e = *bsfdExpression;
  const auto length = static_cast<std::uint16_t>(std::min<std::size_t>(e.size(), 0xFFFF));
  aStream.WriteBuffer(&length, 2);
  if (length) aStream.WriteBuffer(e.data(), length);
  if (version > 2) {
    const auto count = static_cast<std::uint16_t>(std::min<std::size_t>(bsfdFilterText.size(), 0xFFFF));
    aStream.WriteBuffer(&count, 2);
    if (count) aStream.WriteBuffer(bsfdFilterText.data(), count * 2);
  }
  if (version > 3) aStream.WriteBuffer(&bsfdCodePage, 4);
  return 0;
}

// ------------------------------------------------------------------ engine

TnxSimpleExpressionFilterEngine::TnxSimpleExpressionFilterEngine(TnxBaseFilterDescriptor* aDescriptor,
                                                                 const TnxIntfPtr<InxFieldsSource>& aFieldsSource)
    : TnxBaseSimpleExpressionFilterEngine(aDescriptor, aFieldsSource) {
  auto* d = nxFilterDescriptorAs<TnxSimpleExpressionFilterDescriptor>(aDescriptor);
  sfeExpression = d->Expression();
  sfeFilterText = d->FilterText();
  sfeHasCodePage = d->CodePage() >= 0;
  sfeCodePage = sfeHasCodePage ? static_cast<std::uint16_t>(d->CodePage() & 0xFFFF) : std::uint16_t{3};
}

TnxBaseFilterDescriptor* TnxSimpleExpressionFilterEngine::CreateDescriptor() {
  return platform::create<TnxSimpleExpressionFilterDescriptor>(sfeExpression, sfeFilterText,
                                                               sfeHasCodePage ? std::int32_t{sfeCodePage} : -1);
}

bool TnxSimpleExpressionFilterEngine::MatchesBuffer(const void* aBuffer) {
  if (!GetActive() || !sfeExpression || sfeExpression->empty()) return true;
  Evaluator evaluator(*sfeExpression, bfFieldsSource.get(), sfeCodePage, aBuffer);
  Operand root;
  if (!evaluator.Eval(0, &root)) return false;
  bool b = false;
  if (!root.isNull && asBoolean(root, b)) return b;
  return true;
}

void TnxSimpleExpressionFilterEngine::AddDebugInfo(const TnxIntfPtr<InxExceptionDataContainer>& aContainer,
                                                   bool aFlag) {
  TnxBaseSimpleExpressionFilterEngine::AddDebugInfo(aContainer, aFlag);
  if (!sfeFilterText.empty()) aContainer->AddString(u"FilterText", sfeFilterText);
  if (sfeHasCodePage) aContainer->AddInt64(u"CodePage", sfeCodePage);
}

namespace {
TnxUseCount gFilterEngineSimpleExpressionUseCount{0};

void unregisterFilterEngineSimpleExpressionClasses() noexcept {
  TnxEngineClass<TnxSimpleExpressionFilterEngine>::Unregister();
  TnxDescriptorClass<TnxSimpleExpressionFilterDescriptor>::Unregister();
}
}  // namespace

void nxsdFilterEngineSimpleExpressionInitialize() {
  if (!nxUseCountEnter(gFilterEngineSimpleExpressionUseCount)) return;
  try {
    TnxDescriptorClass<TnxSimpleExpressionFilterDescriptor>::Register();
    TnxEngineClass<TnxSimpleExpressionFilterEngine>::Register();
  } catch (...) {
    unregisterFilterEngineSimpleExpressionClasses();
    nxUseCountLeave(gFilterEngineSimpleExpressionUseCount);
    throw;
  }
}

void nxsdFilterEngineSimpleExpressionFinalize() {
  if (nxUseCountLeave(gFilterEngineSimpleExpressionUseCount)) unregisterFilterEngineSimpleExpressionClasses();
}
