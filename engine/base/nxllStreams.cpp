#include "nxllStreams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "nxllBde.h"
#include "nxllException.h"
#include "plCodePage.h"
#include "plFile.h"
#include "plVirtualMemory.h"

const char* const nxStreamReadErrorText = "Stream read error";
const char* const nxStreamWriteErrorText = "Stream write error";
const char* const nxInvalidPropertyValueText = "Invalid property value";

PL_CLASS_INFO_IMPL(TStream, platform::TObject, "TStream", nullptr)
PL_CLASS_INFO_IMPL(TnxCustomMemoryStream, TStream, "TnxCustomMemoryStream", nullptr)
PL_CLASS_INFO_IMPL(TnxMemoryStream, TnxCustomMemoryStream, "TnxMemoryStream", nullptr)
PL_CLASS_INFO_IMPL(TnxStaticMemoryStream, TnxCustomMemoryStream, "TnxStaticMemoryStream", nullptr)
PL_CLASS_INFO_IMPL(TnxAnsiStringStream, TStream, "TnxAnsiStringStream", nullptr)

// ---------------------------------------------------------------- TStream

std::int64_t TStream::Size() {
  const std::int64_t pos = Seek(0, soCurrent);
  const std::int64_t end = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return end;
}

void TStream::SetSize(std::int64_t) { throw EWriteError(nxStreamWriteErrorText); }

void TStream::ReadBuffer(void* aBuffer, std::int32_t aCount) {
  if (aCount > 0 && Read(aBuffer, aCount) != aCount) throw EReadError(nxStreamReadErrorText);
}

void TStream::WriteBuffer(const void* aBuffer, std::int32_t aCount) {
  if (aCount > 0 && Write(aBuffer, aCount) != aCount) throw EWriteError(nxStreamWriteErrorText);
}

std::int64_t TStream::CopyFrom(TStream& aSource, std::int64_t aCount) {
  if (aCount == 0) {
    aSource.SetPosition(0);
    aCount = aSource.Size();
  }
  constexpr std::int32_t kChunk = 65536;
  auto buffer = std::make_unique<std::uint8_t[]>(kChunk);
  std::int64_t done = 0;
  while (done < aCount) {
    const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(kChunk, aCount - done));
    aSource.ReadBuffer(buffer.get(), n);
    WriteBuffer(buffer.get(), n);
    done += n;
  }
  return done;
}

// ---------------------------------------------------- TnxCustomMemoryStream

std::int32_t TnxCustomMemoryStream::Read(void* aBuffer, std::int32_t aCount) {
  if (cmsPosition < 0 || aCount < 0 || cmsPosition >= cmsSize) return 0;
  const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(aCount, cmsSize - cmsPosition));
  std::memcpy(aBuffer, cmsMemory + cmsPosition, static_cast<std::size_t>(n));
  cmsPosition += n;
  return n;
}

std::int64_t TnxCustomMemoryStream::Seek(std::int64_t aOffset, TSeekOrigin aOrigin) {
  switch (aOrigin) {
    case soBeginning: cmsPosition = aOffset; break;
    case soCurrent: cmsPosition += aOffset; break;
    case soEnd: cmsPosition = cmsSize + aOffset; break;
  }
  return cmsPosition;
}

void TnxCustomMemoryStream::SaveToStream(TStream& aStream) {
  if (cmsSize != 0) aStream.WriteBuffer(cmsMemory, cmsSize);
}

namespace {

[[noreturn]] void fileError(const std::string& aFileName, const char* aWhat) {
  const int e = errno;
  throw platform::OsError(e, std::string(aWhat) + " " + aFileName + ": " + std::strerror(e));
}

}  // namespace

void TnxCustomMemoryStream::SaveToFile(const std::string& aFileName) {
  platform::File f;
  if (!f.open(aFileName, platform::File::Mode::createWrite)) fileError(aFileName, "Cannot create file");
  if (cmsSize != 0 && !f.writeAll(cmsMemory, static_cast<std::size_t>(cmsSize)))
    fileError(aFileName, "Cannot write file");
  if (!f.close()) fileError(aFileName, "Cannot write file");
}

void TnxCustomMemoryStream::SetPointer(void* aMemory, std::int32_t aSize) {
  cmsMemory = static_cast<std::uint8_t*>(aMemory);
  cmsByteArray = cmsMemory;
  cmsSize = aSize;
}

// --------------------------------------------------------- TnxMemoryStream

namespace {

constexpr std::int64_t kPage = 4096;
constexpr std::int64_t kGranularity = 65536;
constexpr std::int64_t kReserveLimit = 0x3FFFFFFF;

std::int64_t roundUp(std::int64_t aValue, std::int64_t aUnit) { return (aValue + aUnit - 1) / aUnit * aUnit; }

}  // namespace

TnxMemoryStream::TnxMemoryStream(std::int32_t aInitial) {
  std::int64_t initial = aInitial == -1 ? kGranularity : aInitial < kGranularity ? 524288 : aInitial;
  msReserveInitial = static_cast<std::int32_t>(roundUp(initial, kGranularity));
}

TnxMemoryStream::~TnxMemoryStream() { ReleaseAll(); }

std::size_t TnxMemoryStream::ReservedRangeCount() const { return msReservedBases.size(); }

void TnxMemoryStream::ReleaseAll() noexcept {
  for (const Range& r : msReservedBases) platform::vmRelease(r.base, r.size);
  msReservedBases.clear();
  msReserved = 0;
  msCommited = 0;
  SetPointer(nullptr, cmsSize);
}

void TnxMemoryStream::Commit(std::size_t aFrom, std::size_t aTo) {
  if (aTo > aFrom && !platform::vmCommit(cmsMemory + aFrom, aTo - aFrom))
    throw nxCreateOSErrorException<EnxBaseException>(nxErrOsUnknown, {}, platform::fromUtf8(className()));
}

void TnxMemoryStream::SetCapacity(std::int64_t aNewCapacity) {
  if (aNewCapacity <= 0) {
    // Without memory no byte can stay: a size left behind would read from nil.
    ReleaseAll();
    cmsSize = 0;
    return;
  }
  if (aNewCapacity >= kReserveLimit) throw platform::OutOfMemory();
  const std::int64_t c = roundUp(aNewCapacity, kPage);
  if (c == msCommited) return;
  if (c <= msReserved) {
    // Pages are never given back short of capacity 0.
    if (c > msCommited) {
      Commit(static_cast<std::size_t>(msCommited), static_cast<std::size_t>(c));
      msCommited = static_cast<std::int32_t>(c);
    }
    return;
  }
  std::int64_t r = msReserved != 0 ? msReserved : msReserveInitial;
  while (r < c) r *= 2;
  if (r >= kReserveLimit) throw platform::OutOfMemory();

  auto osError = [this] {
    return nxCreateOSErrorException<EnxBaseException>(nxErrOsUnknown, {}, platform::fromUtf8(className()));
  };
  if (!cmsMemory) {
    void* base = platform::vmReserve(static_cast<std::size_t>(r));
    if (!base) throw osError();
    msReservedBases.push_back({static_cast<std::uint8_t*>(base), static_cast<std::size_t>(r)});
    msReserved = static_cast<std::int32_t>(r);
    SetPointer(base, cmsSize);
    Commit(0, static_cast<std::size_t>(c));
  } else {
    std::uint8_t* const want = cmsMemory + msReserved;
    const auto extra = static_cast<std::size_t>(r - msReserved);
    if (platform::vmReserveAt(want, extra)) {
      // Extended in place: the data stays where it is.
      msReservedBases.push_back({want, extra});
      msReserved = static_cast<std::int32_t>(r);
      Commit(static_cast<std::size_t>(msCommited), static_cast<std::size_t>(c));
    } else {
      void* base = platform::vmReserve(static_cast<std::size_t>(r));
      if (!base) throw osError();
      if (!platform::vmCommit(base, static_cast<std::size_t>(c))) {
        auto e = osError();
        platform::vmRelease(base, static_cast<std::size_t>(r));
        throw e;
      }
      std::memcpy(base, cmsMemory, static_cast<std::size_t>(std::min<std::int64_t>(cmsSize, msCommited)));
      const std::int32_t size = cmsSize;
      ReleaseAll();
      msReservedBases.push_back({static_cast<std::uint8_t*>(base), static_cast<std::size_t>(r)});
      msReserved = static_cast<std::int32_t>(r);
      SetPointer(base, size);
    }
  }
  msCommited = static_cast<std::int32_t>(c);
}

std::int32_t TnxMemoryStream::Write(const void* aBuffer, std::int32_t aCount) {
  if (cmsPosition < 0 || aCount < 0) return 0;
  const std::int64_t end = cmsPosition + aCount;
  if (end <= 0) return 0;
  if (end > cmsSize) {
    if (end > msCommited) SetCapacity(end);
    cmsSize = static_cast<std::int32_t>(end);
  }
  std::memcpy(cmsMemory + cmsPosition, aBuffer, static_cast<std::size_t>(aCount));
  cmsPosition = end;
  return aCount;
}

void TnxMemoryStream::SetSize(std::int64_t aNewSize) {
  if (aNewSize < 0) aNewSize = 0;
  if (aNewSize > msCommited) SetCapacity(aNewSize);
  cmsSize = static_cast<std::int32_t>(aNewSize);
  if (cmsPosition > cmsSize) cmsPosition = cmsSize;
}

void TnxMemoryStream::Clear() {
  SetCapacity(0);
  cmsSize = 0;
  cmsPosition = 0;
}

void TnxMemoryStream::LoadFromStream(TStream& aStream) {
  aStream.SetPosition(0);
  const std::int64_t n = aStream.Size();
  SetSize(n);
  if (n != 0) aStream.ReadBuffer(cmsMemory, static_cast<std::int32_t>(n));
}

void TnxMemoryStream::LoadFromFile(const std::string& aFileName) {
  platform::File f;
  if (!f.open(aFileName, platform::File::Mode::read)) fileError(aFileName, "Cannot open file");
  std::int64_t n = 0;
  if (!f.size(n)) fileError(aFileName, "Cannot read file");
  SetSize(n);  // a file beyond what a memory stream holds raises OutOfMemory here
  if (n != 0 && !f.readExact(cmsMemory, static_cast<std::size_t>(n))) throw EReadError(nxStreamReadErrorText);
}

// --------------------------------------------------- TnxStaticMemoryStream

std::int32_t TnxStaticMemoryStream::Write(const void* aBuffer, std::int32_t aCount) {
  if (cmsPosition < 0 || aCount < 0 || cmsPosition + aCount <= 0) return 0;
  const auto n = static_cast<std::int32_t>(std::clamp<std::int64_t>(cmsSize - cmsPosition, 0, aCount));
  if (n > 0) std::memcpy(cmsMemory + cmsPosition, aBuffer, static_cast<std::size_t>(n));
  cmsPosition = std::min<std::int64_t>(cmsSize, cmsPosition + aCount);
  return n;
}

// ----------------------------------------------------- TnxAnsiStringStream

std::int32_t TnxAnsiStringStream::Read(void* aBuffer, std::int32_t aCount) {
  const auto len = static_cast<std::int64_t>(assDataString.size());
  if (assPosition < 0 || aCount < 0 || assPosition >= len) return 0;
  const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(aCount, len - assPosition));
  std::memcpy(aBuffer, assDataString.data() + assPosition, static_cast<std::size_t>(n));
  assPosition += n;
  return n;
}

std::int32_t TnxAnsiStringStream::Write(const void* aBuffer, std::int32_t aCount) {
  if (assPosition < 0 || aCount <= 0) return 0;
  const std::int64_t end = assPosition + aCount;
  if (end > static_cast<std::int64_t>(assDataString.size())) assDataString.resize(static_cast<std::size_t>(end));
  std::memcpy(assDataString.data() + assPosition, aBuffer, static_cast<std::size_t>(aCount));
  assPosition = end;
  return aCount;
}

std::int64_t TnxAnsiStringStream::Seek(std::int64_t aOffset, TSeekOrigin aOrigin) {
  const auto len = static_cast<std::int64_t>(assDataString.size());
  std::int64_t pos = assPosition;
  switch (aOrigin) {
    case soBeginning: pos = aOffset; break;
    case soCurrent: pos += aOffset; break;
    case soEnd: pos = len - aOffset; break;
  }
  assPosition = std::clamp<std::int64_t>(pos, 0, len);
  return assPosition;
}

void TnxAnsiStringStream::SetSize(std::int64_t aNewSize) {
  assDataString.resize(static_cast<std::size_t>(std::max<std::int64_t>(aNewSize, 0)));
  if (assPosition > static_cast<std::int64_t>(assDataString.size()))
    assPosition = static_cast<std::int64_t>(assDataString.size());
}

std::string TnxAnsiStringStream::ReadString(std::int32_t aCount) {
  const auto len = static_cast<std::int64_t>(assDataString.size());
  const std::int64_t n = std::clamp<std::int64_t>(len - assPosition, 0, std::max(aCount, 0));
  std::string result = assDataString.substr(static_cast<std::size_t>(std::min(assPosition, len)),
                                            static_cast<std::size_t>(n));
  assPosition += n;
  return result;
}

void TnxAnsiStringStream::WriteString(std::string_view aString) {
  Write(aString.data(), static_cast<std::int32_t>(aString.size()));
}

// --------------------------------------------------------------- TnxWriter

namespace {

std::string utf8Of(platform::UnicodeStringView aText) { return platform::encodeText(aText, platform::CP_UTF8); }

// UTF-8 cannot carry an unpaired surrogate (it would become U+FFFD).
bool hasUnpairedSurrogate(platform::UnicodeStringView aText) {
  for (std::size_t i = 0; i < aText.size(); ++i) {
    const char16_t c = aText[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < aText.size() && aText[i + 1] >= 0xDC00 && aText[i + 1] <= 0xDFFF)
      ++i;
    else if (c >= 0xD800 && c <= 0xDFFF)
      return true;
  }
  return false;
}

}  // namespace

TnxWriter::TnxWriter(TStream& aStream) : fStream(aStream) {}

TnxWriter::~TnxWriter() {
  try {
    FlushBuffer();
  } catch (...) {
    // Nothing to report to from a destructor; callers that care flush first.
  }
}

void TnxWriter::FlushBuffer() {
  if (fBufLen > 0) {
    fStream.WriteBuffer(fBuffer, fBufLen);
    // After a rewrite inside the buffer the stream stands where the writer does.
    if (fBufPos < fBufLen) fStream.Seek(fBufPos - fBufLen, soCurrent);
    fBufPos = 0;
    fBufLen = 0;
  }
}

std::int64_t TnxWriter::Position() { return fStream.Position() + fBufPos; }

void TnxWriter::SetPosition(std::int64_t aValue) {
  const std::int64_t start = fStream.Position();
  if (aValue < start || aValue > start + fBufLen) {
    FlushBuffer();
    fStream.SetPosition(aValue);
  } else {
    fBufPos = static_cast<std::int32_t>(aValue - start);
  }
}

void TnxWriter::Write(const void* aBuffer, std::int32_t aCount) {
  auto src = static_cast<const std::uint8_t*>(aBuffer);
  while (aCount > 0) {
    const std::int32_t n = std::min(aCount, nxFilerBufferSize - fBufPos);
    std::memcpy(fBuffer + fBufPos, src, static_cast<std::size_t>(n));
    fBufPos += n;
    fBufLen = std::max(fBufLen, fBufPos);
    src += n;
    aCount -= n;
    if (fBufPos == nxFilerBufferSize) FlushBuffer();
  }
}

void TnxWriter::WriteValue(TValueType aTag) {
  const std::uint8_t b = aTag;
  Write(&b, 1);
}

void TnxWriter::WriteTagged(TValueType aTag, const void* aData, std::int32_t aCount) {
  WriteValue(aTag);
  Write(aData, aCount);
}

void TnxWriter::WriteInteger(std::int32_t aValue) {
  if (aValue >= -128 && aValue <= 127) {
    const auto v = static_cast<std::int8_t>(aValue);
    WriteTagged(vaInt8, &v, 1);
  } else if (aValue >= -32768 && aValue <= 32767) {
    const auto v = static_cast<std::int16_t>(aValue);
    WriteTagged(vaInt16, &v, 2);
  } else {
    WriteTagged(vaInt32, &aValue, 4);
  }
}

void TnxWriter::WriteInteger(std::int64_t aValue) {
  if (aValue >= INT32_MIN && aValue <= INT32_MAX)
    WriteInteger(static_cast<std::int32_t>(aValue));
  else
    WriteTagged(vaInt64, &aValue, 8);
}

void TnxWriter::WriteBoolean(bool aValue) { WriteValue(aValue ? vaTrue : vaFalse); }
void TnxWriter::WriteFloat(const platform::Extended& aValue) { WriteTagged(vaExtended, aValue.bytes.data(), 10); }
void TnxWriter::WriteSingle(float aValue) { WriteTagged(vaSingle, &aValue, 4); }
void TnxWriter::WriteDouble(double aValue) { WriteTagged(vaDouble, &aValue, 8); }
void TnxWriter::WriteCurrency(platform::Currency aValue) { WriteTagged(vaCurrency, &aValue.value, 8); }
void TnxWriter::WriteDate(platform::DateTime aValue) { WriteTagged(vaDate, &aValue, 8); }

void TnxWriter::WriteString(platform::UnicodeStringView aValue) {
  const std::string u = utf8Of(aValue);
  if (u.size() < 2 * aValue.size() && !hasUnpairedSurrogate(aValue)) {
    const bool ascii = std::all_of(u.begin(), u.end(), [](char c) { return static_cast<std::uint8_t>(c) < 128; });
    const auto n = static_cast<std::int32_t>(u.size());
    if (!ascii) {
      WriteValue(vaUTF8String);
      WriteLength(n);
    } else if (n <= 255) {
      WriteValue(vaString);
      const auto b = static_cast<std::uint8_t>(n);
      Write(&b, 1);
    } else {
      WriteValue(vaLString);
      WriteLength(n);
    }
    Write(u.data(), n);
  } else {
    WriteWideString_(aValue);
  }
}

void TnxWriter::WriteWideString_(platform::UnicodeStringView aValue) {
  const auto n = static_cast<std::int32_t>(aValue.size());
  WriteValue(vaWString);
  WriteLength(n);
  Write(aValue.data(), n * 2);  // x86-64: UTF-16 code units are little-endian in memory
}

void TnxWriter::WriteIdent(platform::UnicodeStringView aName) {
  if (platform::sameTextAscii(aName, u"False")) return WriteValue(vaFalse);
  if (platform::sameTextAscii(aName, u"True")) return WriteValue(vaTrue);
  if (platform::sameTextAscii(aName, u"Null")) return WriteValue(vaNull);
  if (platform::sameTextAscii(aName, u"nil")) return WriteValue(vaNil);
  const std::string u = utf8Of(aName);
  // The length is one byte: a longer name would corrupt every value after it.
  if (u.size() > 255) throw EWriteError(nxStreamWriteErrorText);
  WriteValue(vaIdent);
  const auto b = static_cast<std::uint8_t>(u.size());
  Write(&b, 1);
  Write(u.data(), b);
}

void TnxWriter::WriteVariant(const platform::Variant& aValue) {
  using namespace platform;
  if (aValue.isArray()) throw EWriteError(nxStreamWriteErrorText);
  switch (aValue.type()) {
    case varEmpty: WriteValue(vaNil); break;
    case varNull: WriteValue(vaNull); break;
    case varShortInt:
    case varSmallint:
    case varInteger:
    case varInt64:
    case varByte:
    case varWord:
    case varLongWord: WriteInteger(aValue.toInt64()); break;
    case varSingle: WriteSingle(aValue.toSingle()); break;
    case varDouble: WriteFloat(Extended::fromDouble(aValue.toDouble())); break;
    case varCurrency: WriteCurrency(aValue.toCurrency()); break;
    case varDate: WriteDate(aValue.toDateTime()); break;
    case varBoolean: WriteBoolean(aValue.toBoolean()); break;
    case varOleStr: WriteString(aValue.ustring()); break;
    case varString: WriteString(ansiToUnicode(aValue.astring())); break;
    default: WriteString(aValue.toString()); break;  // Unicode strings, UInt64, BCD
  }
}

void TnxWriter::WriteAnsiString(std::string_view aBytes) {
  const auto n = static_cast<std::int32_t>(aBytes.size());
  if (n <= 255) {
    WriteValue(vaString);
    const auto b = static_cast<std::uint8_t>(n);
    Write(&b, 1);
  } else {
    WriteValue(vaLString);
    WriteLength(n);
  }
  Write(aBytes.data(), n);
}

void TnxWriter::WriteAnsiChar(char aValue) { WriteAnsiString(std::string_view(&aValue, 1)); }

void TnxWriter::WriteAnsiStrings(const platform::TStringList& aStrings) {
  WriteListBegin();
  for (int i = 0; i < aStrings.count(); ++i) WriteAnsiString(platform::encodeText(aStrings.strings(i), 0));
  WriteListEnd();
}

void TnxWriter::WriteStrings(const platform::TStringList& aStrings) {
  WriteListBegin();
  for (int i = 0; i < aStrings.count(); ++i) WriteString(aStrings.strings(i));
  WriteListEnd();
}

void TnxWriter::WriteWideStrings(const platform::TStringList& aStrings) {
  WriteListBegin();
  for (int i = 0; i < aStrings.count(); ++i) WriteWideString_(aStrings.strings(i));
  WriteListEnd();
}

void TnxWriter::WriteBinary(const void* aBuffer, std::int32_t aSize) {
  if (aSize < 0) throw EWriteError(nxStreamWriteErrorText);  // no reader could take it back
  WriteValue(vaBinary);
  WriteLength(aSize);
  Write(aBuffer, aSize);
}

void TnxWriter::WriteBytes(std::span<const std::uint8_t> aBytes) {
  WriteBinary(aBytes.data(), static_cast<std::int32_t>(aBytes.size()));
}

void TnxWriter::WriteGuid(const platform::Guid& aGuid) { WriteBinary(&aGuid, 16); }

// --------------------------------------------------------------- TnxReader

TnxReader::TnxReader(TStream& aStream) : fStream(aStream) {}

TnxReader::~TnxReader() {
  if (fBufEnd > fBufPos) {
    try {
      fStream.Seek(fBufPos - fBufEnd, soCurrent);
    } catch (...) {
      // Streams that cannot seek back keep their position.
    }
  }
}

std::int64_t TnxReader::Position() { return fStream.Position() - (fBufEnd - fBufPos); }

void TnxReader::SetPosition(std::int64_t aValue) {
  fStream.SetPosition(aValue);
  fBufPos = 0;
  fBufEnd = 0;
}

void TnxReader::PropValueError() { throw EReadError(nxInvalidPropertyValueText); }

void TnxReader::Read(void* aBuffer, std::int32_t aCount) {
  auto dst = static_cast<std::uint8_t*>(aBuffer);
  while (aCount > 0) {
    if (fBufPos == fBufEnd) {
      fBufPos = 0;
      fBufEnd = fStream.Read(fBuffer, nxFilerBufferSize);
      if (fBufEnd <= 0) {
        fBufEnd = 0;
        throw EReadError(nxStreamReadErrorText);
      }
    }
    const std::int32_t n = std::min(aCount, fBufEnd - fBufPos);
    std::memcpy(dst, fBuffer + fBufPos, static_cast<std::size_t>(n));
    fBufPos += n;
    dst += n;
    aCount -= n;
  }
}

std::uint8_t TnxReader::ReadByte() {
  std::uint8_t b;
  Read(&b, 1);
  return b;
}

TValueType TnxReader::ReadValue() { return static_cast<TValueType>(ReadByte()); }

TValueType TnxReader::NextValue() {
  const TValueType v = ReadValue();
  --fBufPos;  // the byte just read is still in the buffer
  return v;
}

void TnxReader::CheckValue(TValueType aTag) {
  if (ReadValue() != aTag) {
    --fBufPos;
    SkipValue();
    PropValueError();
  }
}

void TnxReader::CheckLength(std::int64_t aLength, std::int64_t aUnitSize) {
  const std::int64_t remaining = fStream.Size() - Position();
  if (aLength < 0 || aLength > remaining / aUnitSize)
    throw EnxBaseException(nxErrIncompatibleStream,
                           u"<[!Org!]> Value length %d at position %d does not fit the %d bytes that remain",
                           {static_cast<long long>(aLength), static_cast<long long>(Position()),
                            static_cast<long long>(remaining)});
}

std::int32_t TnxReader::ReadLength(std::int32_t aUnitSize) {
  std::int32_t n;
  Read(&n, 4);
  CheckLength(n, aUnitSize);
  return n;
}

std::string TnxReader::ReadRaw(std::int32_t aCount) {
  std::string s(static_cast<std::size_t>(aCount), '\0');
  Read(s.data(), aCount);
  return s;
}

void TnxReader::SkipBytes(std::int64_t aCount) {
  if (aCount <= 0) return;
  if (aCount > fStream.Size() - Position()) throw EReadError(nxStreamReadErrorText);
  const std::int64_t inBuffer = fBufEnd - fBufPos;
  if (aCount <= inBuffer) {
    fBufPos += static_cast<std::int32_t>(aCount);
  } else {
    fBufPos = fBufEnd = 0;
    fStream.Seek(aCount - inBuffer, soCurrent);
  }
}

std::int64_t TnxReader::ReadIntegerBody(TValueType aTag) {
  switch (aTag) {
    case vaInt8: {
      std::int8_t v;
      Read(&v, 1);
      return v;
    }
    case vaInt16: {
      std::int16_t v;
      Read(&v, 2);
      return v;
    }
    case vaInt32: {
      std::int32_t v;
      Read(&v, 4);
      return v;
    }
    case vaInt64: {
      std::int64_t v;
      Read(&v, 8);
      return v;
    }
    default: PropValueError();
  }
}

std::int32_t TnxReader::ReadInteger() {
  const TValueType tag = ReadValue();
  if (tag != vaInt8 && tag != vaInt16 && tag != vaInt32) PropValueError();
  return static_cast<std::int32_t>(ReadIntegerBody(tag));
}

std::int64_t TnxReader::ReadInt64() { return ReadIntegerBody(ReadValue()); }

bool TnxReader::ReadBoolean() {
  const TValueType tag = ReadValue();
  if (tag != vaTrue && tag != vaFalse) PropValueError();
  return tag == vaTrue;
}

platform::Extended TnxReader::ReadFloat() {
  const TValueType tag = ReadValue();
  if (tag == vaExtended) {
    platform::Extended e;
    Read(e.bytes.data(), 10);
    return e;
  }
  if (tag == vaDouble) {
    double d;
    Read(&d, 8);
    return platform::Extended::fromDouble(d);
  }
  return platform::Extended::fromLongDouble(static_cast<long double>(ReadIntegerBody(tag)));
}

double TnxReader::ReadDouble() {
  const TValueType tag = ReadValue();
  if (tag == vaDouble) {
    double d;
    Read(&d, 8);
    return d;
  }
  return static_cast<double>(ReadIntegerBody(tag));
}

float TnxReader::ReadSingle() {
  const TValueType tag = ReadValue();
  if (tag == vaSingle) {
    float f;
    Read(&f, 4);
    return f;
  }
  return static_cast<float>(ReadIntegerBody(tag));
}

platform::Currency TnxReader::ReadCurrency() {
  const TValueType tag = ReadValue();
  if (tag == vaCurrency) {
    std::int64_t v;
    Read(&v, 8);
    return platform::Currency::fromRaw(v);
  }
  return platform::Currency::fromInt64(ReadIntegerBody(tag));
}

platform::DateTime TnxReader::ReadDate() {
  const TValueType tag = ReadValue();
  if (tag == vaDate) {
    double d;
    Read(&d, 8);
    return d;
  }
  return static_cast<double>(ReadIntegerBody(tag));
}

nxString TnxReader::ReadStringBody(TValueType aTag) {
  switch (aTag) {
    case vaString: {
      const std::uint8_t n = ReadByte();
      CheckLength(n, 1);
      return platform::decodeText(ReadRaw(n), 0);
    }
    case vaLString: return platform::decodeText(ReadRaw(ReadLength(1)), 0);
    case vaUTF8String: return platform::decodeText(ReadRaw(ReadLength(1)), platform::CP_UTF8);
    case vaWString: {
      const std::int32_t n = ReadLength(2);
      nxString s(static_cast<std::size_t>(n), u'\0');
      Read(s.data(), n * 2);
      return s;
    }
    default: PropValueError();
  }
}

nxString TnxReader::ReadString() { return ReadStringBody(ReadValue()); }

char16_t TnxReader::ReadChar() {
  const nxString s = ReadString();
  if (s.size() > 1) PropValueError();
  return s.empty() ? u'\0' : s[0];
}

char TnxReader::ReadAnsiChar() {
  const TValueType tag = ReadValue();
  std::string bytes;
  if (tag == vaString || tag == vaLString) {
    // 8-bit forms carry the byte itself; no round trip through UTF-16.
    std::int32_t n;
    if (tag == vaString) {
      n = ReadByte();
      CheckLength(n, 1);
    } else {
      n = ReadLength(1);
    }
    bytes = ReadRaw(n);
  } else {
    bytes = platform::encodeText(ReadStringBody(tag), 0);
  }
  if (bytes.size() > 1) PropValueError();
  return bytes.empty() ? '\0' : bytes[0];
}

nxString TnxReader::ReadIdent() {
  switch (ReadByte() & 0x7F) {
    case vaIdent: {
      const std::uint8_t n = ReadByte();
      CheckLength(n, 1);
      return platform::decodeText(ReadRaw(n), platform::CP_UTF8);
    }
    case vaFalse: return u"False";
    case vaTrue: return u"True";
    case vaNull: return u"Null";
    case vaNil: return u"nil";
    default: PropValueError();
  }
}

platform::Variant TnxReader::ReadVariant() {
  using platform::Variant;
  const auto tag = static_cast<TValueType>(ReadByte() & 0x7F);
  switch (tag) {
    case vaNull: return Variant::null();
    case vaNil: return Variant();
    case vaInt8: return Variant::fromShortInt(static_cast<std::int8_t>(ReadIntegerBody(tag)));
    case vaInt16: return Variant::fromSmallint(static_cast<std::int16_t>(ReadIntegerBody(tag)));
    case vaInt32: return Variant(static_cast<int>(ReadIntegerBody(tag)));
    case vaInt64: return Variant(static_cast<long long>(ReadIntegerBody(tag)));
    case vaExtended: {
      platform::Extended e;
      Read(e.bytes.data(), 10);
      return Variant(e.toDouble());
    }
    case vaSingle: {
      float f;
      Read(&f, 4);
      return Variant(static_cast<double>(f));
    }
    case vaDouble: {
      double d;
      Read(&d, 8);
      return Variant(d);
    }
    case vaString:
    case vaLString:
    case vaWString:
    case vaUTF8String: return Variant(ReadStringBody(tag));
    case vaFalse: return Variant(false);
    case vaTrue: return Variant(true);
    case vaCurrency: {
      std::int64_t v;
      Read(&v, 8);
      return Variant(platform::Currency::fromRaw(v));
    }
    case vaDate: {
      double d;
      Read(&d, 8);
      return Variant::fromDate(d);
    }
    case vaBinary: {
      // A custom variant: its type's class name, then the type's own bytes.
      // No variant type of this system streams itself, so none can be read.
      ReadLength(1);
      ReadString();
      throw EReadError(nxStreamReadErrorText);
    }
    default: throw EReadError(nxStreamReadErrorText);
  }
}

void TnxReader::ReadBinary(void* aBuffer, std::int32_t aSize) {
  if (ReadValue() != vaBinary) PropValueError();
  const std::int32_t n = ReadLength(1);
  if (n != aSize) PropValueError();
  Read(aBuffer, n);
}

std::vector<std::uint8_t> TnxReader::ReadBytes() {
  if (ReadValue() != vaBinary) PropValueError();
  const std::int32_t n = ReadLength(1);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(n));
  Read(bytes.data(), n);
  return bytes;
}

platform::Guid TnxReader::ReadGuid() {
  platform::Guid g;
  ReadBinary(&g, 16);
  return g;
}

void TnxReader::ReadStrings(platform::TStringList& aStrings) {
  struct UpdateBracket {
    platform::TStringList& list;
    explicit UpdateBracket(platform::TStringList& l) : list(l) { list.beginUpdate(); }
    ~UpdateBracket() { list.endUpdate(); }
  };
  ReadListBegin();
  UpdateBracket bracket(aStrings);
  aStrings.clear();
  while (!EndOfList()) aStrings.add(ReadString());
  ReadListEnd();
}

// Iterative, so that deeply nested lists in a corrupt stream cannot exhaust
// the stack; every step consumes at least one byte, so it ends.
void TnxReader::SkipValue() {
  enum Context : std::uint8_t { InList, InCollection, InItemProperties };
  std::vector<Context> open;

  auto skipShortString = [this] {
    const std::uint8_t n = ReadByte();
    CheckLength(n, 1);
    SkipBytes(n);
    return n;
  };
  auto skipOne = [&] {
    const TValueType tag = ReadValue();
    switch (tag) {
      case vaNull:
      case vaFalse:
      case vaTrue:
      case vaNil: break;
      case vaList: open.push_back(InList); break;
      case vaCollection: open.push_back(InCollection); break;
      case vaInt8: SkipBytes(1); break;
      case vaInt16: SkipBytes(2); break;
      case vaInt32:
      case vaSingle: SkipBytes(4); break;
      case vaExtended: SkipBytes(10); break;
      case vaCurrency:
      case vaDate:
      case vaInt64:
      case vaDouble: SkipBytes(8); break;
      case vaString:
      case vaIdent: skipShortString(); break;
      case vaBinary:
      case vaLString:
      case vaUTF8String: SkipBytes(ReadLength(1)); break;
      case vaWString: SkipBytes(std::int64_t{ReadLength(2)} * 2); break;
      case vaSet:
        while (skipShortString() != 0) {
        }
        break;
      default:
        throw EnxBaseException(nxErrIncompatibleStream, u"<[!Org!]> Unknown value tag %d at position %d",
                               {static_cast<int>(tag), static_cast<long long>(Position() - 1)});
    }
  };

  skipOne();
  while (!open.empty()) {
    const TValueType next = NextValue();
    switch (open.back()) {
      case InList:
        if (next == vaNull) {
          ReadByte();
          open.pop_back();
        } else {
          skipOne();
        }
        break;
      case InCollection:
        if (next == vaNull) {
          ReadByte();
          open.pop_back();
        } else {
          if (next == vaInt8 || next == vaInt16 || next == vaInt32) SkipBytes(1 + (next == vaInt8 ? 1 : next == vaInt16 ? 2 : 4));
          ReadByte();  // the item's list tag
          open.push_back(InItemProperties);
        }
        break;
      case InItemProperties:
        if (next == vaNull) {
          ReadByte();
          open.pop_back();
        } else {
          skipShortString();  // property name
          skipOne();
        }
        break;
    }
  }
}
