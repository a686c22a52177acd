#include "plDbConsts.h"

namespace platform {

namespace {
constexpr const char16_t* kFieldTypeNames[kFieldTypeCount] = {
    u"Unknown", u"String", u"Smallint", u"Integer", u"Word", u"Boolean", u"Float", u"Currency", u"BCD",
    u"Date", u"Time", u"DateTime", u"Bytes", u"VarBytes", u"AutoInc", u"Blob", u"Memo", u"Graphic",
    u"FmtMemo", u"ParadoxOle", u"DBaseOle", u"TypedBinary", u"Cursor", u"FixedChar", u"WideString",
    u"Largeint", u"ADT", u"Array", u"Reference", u"DataSet", u"OraBlob", u"OraClob", u"Variant",
    u"Interface", u"IDispatch", u"Guid", u"TimeStamp", u"FMTBcd", u"FixedWideChar", u"WideMemo",
    u"OraTimeStamp", u"OraInterval", u"LongWord", u"Shortint", u"Byte", u"Extended", u"Connection",
    u"Params", u"Stream", u"TimeStampOffset", u"Object", u"Single"};
}  // namespace

UnicodeString fieldTypeName(TFieldType aType) {
  return aType < kFieldTypeCount ? UnicodeString(kFieldTypeNames[aType]) : UnicodeString(u"Unknown");
}

bool isBlobType(TFieldType aType) {
  switch (aType) {
    case ftBlob: case ftMemo: case ftGraphic: case ftFmtMemo: case ftParadoxOle: case ftDBaseOle:
    case ftTypedBinary: case ftOraBlob: case ftOraClob: case ftWideMemo:
      return true;
    default:
      return false;
  }
}

EDatabaseError::EDatabaseError(const UnicodeString& aMessage)
    : RuntimeError(toUtf8(aMessage)), edMessage(aMessage) {}

void EDatabaseError::SetMessage(const UnicodeString& aMessage) {
  RuntimeError::operator=(RuntimeError(toUtf8(aMessage)));
  edMessage = aMessage;
}

void DatabaseError(const UnicodeString& aMessage) { throw EDatabaseError(aMessage); }

void DatabaseErrorFmt(UnicodeStringView aFormat, std::initializer_list<FormatArg> aArgs) {
  throw EDatabaseError(format(aFormat, aArgs));
}

void Abort() { throw EAbort(); }

}  // namespace platform
