// The node stream: the byte layout in which stored procedures, functions,
// triggers and views keep their compiled node trees.
//
// Encodings (integers little-endian):
//   Bool 1 byte (0/1); Byte 1 byte; Int 4 bytes signed; Int64 8 bytes signed;
//   LString  Int byte count n, then n bytes of 8-bit text in the system ANSI
//            code page;
//   PString  1 length byte n, then n bytes;
//   WString  Int count n, then n UTF-16 code units;
//   Node     0xFF, Int layout version, PString class name, the node's fields;
//   optional Node  Bool present, then a Node when True.
// A node header without the 0xFF marker starts with the class name's length
// byte and means version 1. An empty class name is skipped once (the next
// PString is the name).
//
// Safety: the reader trusts nothing it reads. Every length and count is
// checked against the bytes that remain before anything is allocated or
// read, nesting is bounded, and every failure is an EnxInternalSQLException
// "Node stream is corrupt: ..." with the offset. The writer refuses an LString
// that the ANSI code page cannot hold exactly (it would come back changed).
//
// Ownership: writers and readers do not own their streams. Thread safety:
// one thread per writer or reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "nxllStreams.h"
#include "nxsqlBase.h"

class TnxSqlPSMWriter {
 public:
  explicit TnxSqlPSMWriter(TStream& aTargetStream) : FTargetStream(aTargetStream) {}
  TnxSqlPSMWriter(const TnxSqlPSMWriter&) = delete;
  TnxSqlPSMWriter& operator=(const TnxSqlPSMWriter&) = delete;

  void WriteBool(bool B);
  void WriteByte(std::uint8_t B);
  void WriteInt(std::int32_t I);
  void WriteInt64(std::int64_t I);
  // Raises when the text cannot be stored in the ANSI code page unchanged.
  void WriteLString(platform::UnicodeStringView Str);
  // 8-bit text cut to 255 bytes.
  void WritePString(std::string_view Str);
  void WriteWString(platform::UnicodeStringView Str);
  // REQUIRES: Node is not null.
  void WriteNode(const TnxSqlNode* Node);
  void WriteNodeOpt(const TnxSqlNode* Node);

  TStream& TargetStream() const { return FTargetStream; }

 private:
  void Put(const void* aData, std::size_t aCount);
  TStream& FTargetStream;
};

class TnxSqlPSMReader {
 public:
  // Deeper nesting than this is refused as corrupt (a stack guard).
  static constexpr std::int32_t kMaxNodeDepth = 2000;

  explicit TnxSqlPSMReader(TStream& aSourceStream) : FSourceStream(aSourceStream) {}
  TnxSqlPSMReader(const TnxSqlPSMReader&) = delete;
  TnxSqlPSMReader& operator=(const TnxSqlPSMReader&) = delete;

  bool ReadBool();
  std::uint8_t ReadByte();
  std::int32_t ReadInt();
  std::int64_t ReadInt64();
  nxString ReadLString();
  std::string ReadPString();
  nxString ReadWString();
  // A node created under AOwner by its stored class name; never null.
  TnxSqlNode* ReadNode(TnxSqlNode* AOwner);
  TnxSqlNode* ReadNodeOpt(TnxSqlNode* AOwner);
  // An Int count of items that take at least aMinItemBytes each, checked
  // against the bytes that remain. Node classes read their list counts here.
  std::int32_t ReadCount(std::int32_t aMinItemBytes);

  // Layout version of the node being read; 1 outside any node.
  std::int32_t Version() const { return FVersion; }
  void SetVersion(std::int32_t aVersion) { FVersion = aVersion; }
  TStream& SourceStream() const { return FSourceStream; }
  std::int64_t Remaining();

  // The smallest stored node: a one-byte class name behind its length byte.
  static constexpr std::int32_t kMinNodeBytes = 2;

  [[noreturn]] void Corrupt(platform::UnicodeStringView aWhat);

 private:
  void Get(void* aData, std::int64_t aCount);
  TStream& FSourceStream;
  std::int32_t FVersion = 1;
  std::int32_t FDepth = 0;
};
