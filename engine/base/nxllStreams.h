// Memory streams and the tagged value encoding.
//
// TStream is the abstract stream of the class library (read, write, seek,
// size); ReadBuffer/WriteBuffer raise EReadError/EWriteError when fewer bytes
// than asked move.
//
// Memory streams:
// - TnxMemoryStream reserves address space ahead (doubling from the initial
//   reservation) and commits it page by page (4 096 bytes); when the
//   reservation runs out it is first extended in place, so the data does not
//   move, else moved to a larger one. Memory goes back only with capacity 0
//   (Clear, destruction), which also empties the stream. Reservations of 1 073 741 823 bytes or more raise
//   platform::OutOfMemory; failing map calls raise the OS-error exception
//   (code 11047, action = the class name).
// - TnxStaticMemoryStream works over caller-owned memory of a fixed size.
// - TnxAnsiStringStream works over an 8-bit string it owns.
// Positions may be set beyond the size or below 0 by seeking; reads there
// give nothing, writes beyond the size extend it.
//
// Tagged encoding (TnxWriter/TnxReader): each value is one tag byte
// (TValueType) and the bytes its tag defines; integers and floats are
// little-endian. Lengths read from a stream are never trusted: a length below
// 0 or beyond the bytes that remain in the stream fails with the engine's
// EnxBaseException 15498 ("Incompatible stream") before anything is
// allocated or skipped. Running out of bytes inside a fixed-size value raises
// EReadError "Stream read error"; a tag the operation does not accept raises
// EReadError "Invalid property value".
//
// Buffering: the writer keeps up to 4 096 bytes and hands them to the stream
// when full, on FlushBuffer, on a Position outside the buffered range and in
// its destructor (where a failure cannot be reported: call FlushBuffer first
// when it matters). Setting its Position back inside the buffer rewrites the
// bytes there and keeps the buffered bytes after them. The reader reads
// ahead up to 4 096 bytes; its destructor moves the stream back to just after
// the last value consumed.
//
// Ownership: a writer or reader does not own its stream; the stream must
// outlive it. Thread safety: none; one thread at a time per object.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nxllTypes.h"
#include "plCurrency.h"
#include "plDateTime.h"
#include "plExtended.h"
#include "plGuid.h"
#include "plObject.h"
#include "plStringList.h"
#include "plVariant.h"

// The class library's stream and filer errors.
class EReadError : public platform::FilerError {
 public:
  using FilerError::FilerError;
};
class EWriteError : public platform::FilerError {
 public:
  using FilerError::FilerError;
};

extern const char* const nxStreamReadErrorText;     // "Stream read error"
extern const char* const nxStreamWriteErrorText;    // "Stream write error"
extern const char* const nxInvalidPropertyValueText;  // "Invalid property value"

enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream : public platform::TObject {
  PL_CLASS_INFO_DECL()
 public:
  // Bytes actually moved (0..aCount).
  virtual std::int32_t Read(void* aBuffer, std::int32_t aCount) = 0;
  virtual std::int32_t Write(const void* aBuffer, std::int32_t aCount) = 0;
  // Answers the new position.
  virtual std::int64_t Seek(std::int64_t aOffset, TSeekOrigin aOrigin) = 0;
  virtual std::int64_t Size();
  virtual void SetSize(std::int64_t aNewSize);

  std::int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(std::int64_t aPosition) { Seek(aPosition, soBeginning); }
  void ReadBuffer(void* aBuffer, std::int32_t aCount);
  void WriteBuffer(const void* aBuffer, std::int32_t aCount);
  // Copies aCount bytes from aSource's position (all of aSource from 0 when
  // aCount is 0); answers the bytes copied.
  std::int64_t CopyFrom(TStream& aSource, std::int64_t aCount);
  TStream* TheStream() { return this; }
};

class TnxCustomMemoryStream : public TStream {
  PL_CLASS_INFO_DECL()
 public:
  std::int32_t Read(void* aBuffer, std::int32_t aCount) override;
  // The end origin adds aOffset to the size.
  std::int64_t Seek(std::int64_t aOffset, TSeekOrigin aOrigin) override;
  std::int64_t Size() override { return cmsSize; }

  void* Memory() const { return cmsMemory; }
  PnxByteArray ByteArray() const { return cmsByteArray; }
  void SaveToStream(TStream& aStream);
  // platform::OsError when the file cannot be created or written.
  void SaveToFile(const std::string& aFileName);

 protected:
  void SetPointer(void* aMemory, std::int32_t aSize);

  std::uint8_t* cmsMemory = nullptr;
  PnxByteArray cmsByteArray = nullptr;
  std::int32_t cmsSize = 0;
  std::int64_t cmsPosition = 0;
};

class TnxMemoryStream : public TnxCustomMemoryStream {
  PL_CLASS_INFO_DECL()
 public:
  // aInitial -1: 65 536; below 65 536: 524 288; rounded up to 65 536.
  explicit TnxMemoryStream(std::int32_t aInitial = -1);
  ~TnxMemoryStream() override;

  std::int32_t Write(const void* aBuffer, std::int32_t aCount) override;
  void SetSize(std::int64_t aNewSize) override;
  void Clear();
  void LoadFromStream(TStream& aStream);
  void LoadFromFile(const std::string& aFileName);

  std::int32_t Capacity() const { return msCommited; }
  void SetCapacity(std::int64_t aNewCapacity);
  std::int32_t Reserved() const { return msReserved; }
  std::int32_t ReserveInitial() const { return msReserveInitial; }
  // Ranges the memory spans (1 unless the reservation was extended in place).
  std::size_t ReservedRangeCount() const;

 private:
  struct Range {
    std::uint8_t* base;
    std::size_t size;
  };
  void ReleaseAll() noexcept;
  void Commit(std::size_t aFrom, std::size_t aTo);

  std::int32_t msReserveInitial;
  std::int32_t msReserved = 0;
  std::vector<Range> msReservedBases;  // all ranges; empty while nothing is reserved
  std::int32_t msCommited = 0;
};

class TnxStaticMemoryStream : public TnxCustomMemoryStream {
  PL_CLASS_INFO_DECL()
 public:
  TnxStaticMemoryStream(void* aMemory, std::int32_t aSize) { SetPointer(aMemory, aSize); }
  // Cut to the fixed size; answers the bytes copied.
  std::int32_t Write(const void* aBuffer, std::int32_t aCount) override;
};

class TnxAnsiStringStream : public TStream {
  PL_CLASS_INFO_DECL()
 public:
  explicit TnxAnsiStringStream(std::string aString = {}) : assDataString(std::move(aString)) {}

  std::int32_t Read(void* aBuffer, std::int32_t aCount) override;
  std::int32_t Write(const void* aBuffer, std::int32_t aCount) override;
  // The end origin counts aOffset back from the end; the result is clamped
  // to 0..length.
  std::int64_t Seek(std::int64_t aOffset, TSeekOrigin aOrigin) override;
  std::int64_t Size() override { return static_cast<std::int64_t>(assDataString.size()); }
  void SetSize(std::int64_t aNewSize) override;

  // The next at most aCount bytes.
  std::string ReadString(std::int32_t aCount);
  void WriteString(std::string_view aString);
  const std::string& DataString() const { return assDataString; }

 private:
  std::string assDataString;
  std::int64_t assPosition = 0;
};

// Tags of the encoding (the class library's value kinds).
enum TValueType : std::uint8_t {
  vaNull = 0,
  vaList = 1,
  vaInt8 = 2,
  vaInt16 = 3,
  vaInt32 = 4,
  vaExtended = 5,
  vaString = 6,
  vaIdent = 7,
  vaFalse = 8,
  vaTrue = 9,
  vaBinary = 10,
  vaSet = 11,
  vaLString = 12,
  vaNil = 13,
  vaCollection = 14,
  vaSingle = 15,
  vaCurrency = 16,
  vaDate = 17,
  vaWString = 18,
  vaInt64 = 19,
  vaUTF8String = 20,
  vaDouble = 21,
};

inline constexpr std::int32_t nxFilerBufferSize = 4096;

class TnxWriter {
 public:
  explicit TnxWriter(TStream& aStream);
  ~TnxWriter();
  TnxWriter(const TnxWriter&) = delete;
  TnxWriter& operator=(const TnxWriter&) = delete;

  void WriteValue(TValueType aTag);
  void Write(const void* aBuffer, std::int32_t aCount);
  void WriteInteger(std::int32_t aValue);
  void WriteInteger(std::int64_t aValue);
  void WriteBoolean(bool aValue);
  void WriteFloat(const platform::Extended& aValue);
  void WriteSingle(float aValue);
  void WriteDouble(double aValue);
  void WriteCurrency(platform::Currency aValue);
  void WriteDate(platform::DateTime aValue);
  // Picks the shortest of the ASCII, UTF-8 and UTF-16 forms; a text with an
  // unpaired surrogate always takes UTF-16, which keeps it.
  void WriteString(platform::UnicodeStringView aValue);
  void WriteWideString(platform::UnicodeStringView aValue) { WriteString(aValue); }
  void WriteChar(char16_t aValue) { WriteString(platform::UnicodeStringView(&aValue, 1)); }
  void WriteWideChar(char16_t aValue) { WriteChar(aValue); }
  // "False", "True", "Null", "nil" (any case) are their tags alone. A name
  // longer than 255 bytes of UTF-8 raises EWriteError.
  void WriteIdent(platform::UnicodeStringView aName);
  void WriteListBegin() { WriteValue(vaList); }
  void WriteListEnd() { WriteValue(vaNull); }
  // Arrays raise EWriteError.
  void WriteVariant(const platform::Variant& aValue);
  // The bytes as they are.
  void WriteAnsiString(std::string_view aBytes);
  void WriteAnsiChar(char aValue);
  void WriteAnsiStrings(const platform::TStringList& aStrings);
  void WriteStrings(const platform::TStringList& aStrings);
  void WriteWideString_(platform::UnicodeStringView aValue);
  void WriteWideStrings(const platform::TStringList& aStrings);
  void WriteBinary(const void* aBuffer, std::int32_t aSize);
  void WriteBytes(std::span<const std::uint8_t> aBytes);
  void WriteGuid(const platform::Guid& aGuid);

  void FlushBuffer();
  std::int64_t Position();
  void SetPosition(std::int64_t aValue);
  TnxWriter* TheWriter() { return this; }

 private:
  void WriteTagged(TValueType aTag, const void* aData, std::int32_t aCount);
  void WriteLength(std::int32_t aCount) { Write(&aCount, 4); }

  TStream& fStream;
  std::int32_t fBufPos = 0;  // where the next byte goes
  std::int32_t fBufLen = 0;  // bytes buffered: a rewrite inside the buffer keeps those after it
  std::uint8_t fBuffer[nxFilerBufferSize];
};

class TnxReader {
 public:
  explicit TnxReader(TStream& aStream);
  ~TnxReader();
  TnxReader(const TnxReader&) = delete;
  TnxReader& operator=(const TnxReader&) = delete;

  TValueType ReadValue();
  TValueType NextValue();
  // Another tag is skipped with its value and raises "Invalid property value".
  void CheckValue(TValueType aTag);
  void Read(void* aBuffer, std::int32_t aCount);
  std::int32_t ReadInteger();
  std::int64_t ReadInt64();
  bool ReadBoolean();
  platform::Extended ReadFloat();
  double ReadDouble();
  float ReadSingle();
  platform::Currency ReadCurrency();
  platform::DateTime ReadDate();
  nxString ReadString();
  nxString ReadWideString() { return ReadString(); }
  nxString ReadWideString_() { return ReadString(); }
  // At most one character; the empty text gives 0.
  char16_t ReadChar();
  char ReadAnsiChar();
  nxString ReadIdent();
  void ReadListBegin() { CheckValue(vaList); }
  void ReadListEnd() { CheckValue(vaNull); }
  bool EndOfList() { return NextValue() == vaNull; }
  platform::Variant ReadVariant();
  // Tag 10 of exactly aSize bytes.
  void ReadBinary(void* aBuffer, std::int32_t aSize);
  std::vector<std::uint8_t> ReadBytes();
  platform::Guid ReadGuid();
  void ReadStrings(platform::TStringList& aStrings);
  // Skips the next value with everything it contains.
  void SkipValue();

  std::int64_t Position();
  void SetPosition(std::int64_t aValue);
  // Bytes of the stream after Position(): the bound for any size or count
  // a caller reads from the stream before it allocates by it.
  std::int64_t Remaining();
  TnxReader* TheReader() { return this; }

 private:
  std::uint8_t ReadByte();
  void SkipBytes(std::int64_t aCount);
  // The length field of a value, checked against the bytes that remain.
  std::int32_t ReadLength(std::int32_t aUnitSize);
  void CheckLength(std::int64_t aLength, std::int64_t aUnitSize);
  std::string ReadRaw(std::int32_t aCount);
  // ReadString with the tag already consumed.
  nxString ReadStringBody(TValueType aTag);
  std::int64_t ReadIntegerBody(TValueType aTag);
  [[noreturn]] static void PropValueError();

  TStream& fStream;
  std::int32_t fBufPos = 0;
  std::int32_t fBufEnd = 0;
  std::uint8_t fBuffer[nxFilerBufferSize];
};
