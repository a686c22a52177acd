#include "nxsqlBaseStream.h"

#include "plCodePage.h"
#include "plFormat.h"

// ----------------------------------------------------------------- writer

void TnxSqlPSMWriter::Put(const void* aData, std::size_t aCount) {
  if (aCount > 0) FTargetStream.WriteBuffer(aData, std::int32_t(aCount));
}

void TnxSqlPSMWriter::WriteBool(bool B) { WriteByte(B ? 1 : 0); }

void TnxSqlPSMWriter::WriteByte(std::uint8_t B) { Put(&B, 1); }

void TnxSqlPSMWriter::WriteInt(std::int32_t I) {
  const std::uint32_t u = std::uint32_t(I);
  const std::uint8_t b[4] = {std::uint8_t(u), std::uint8_t(u >> 8), std::uint8_t(u >> 16), std::uint8_t(u >> 24)};
  Put(b, 4);
}

void TnxSqlPSMWriter::WriteInt64(std::int64_t I) {
  const std::uint64_t u = std::uint64_t(I);
  std::uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = std::uint8_t(u >> (8 * i));
  Put(b, 8);
}

void TnxSqlPSMWriter::WriteLString(platform::UnicodeStringView Str) {
  const std::uint16_t cp = platform::ansiCodePage();
  const std::string bytes = platform::encodeText(Str, cp);
  // A best fit or default character would bring back another name, which then
  // no longer binds: refuse instead of storing it.
  if (platform::decodeText(bytes, cp) != Str)
    throw EnxInternalSQLException(u"The text \"%s\" cannot be stored in the ANSI code page %d",
                                  {nxString(Str), std::int32_t(cp)});
  if (bytes.size() > std::size_t(INT32_MAX)) throw EnxInternalSQLException(u"Text too long for the node stream");
  WriteInt(std::int32_t(bytes.size()));
  Put(bytes.data(), bytes.size());
}

void TnxSqlPSMWriter::WritePString(std::string_view Str) {
  if (Str.size() > 255) Str = Str.substr(0, 255);
  WriteByte(std::uint8_t(Str.size()));
  Put(Str.data(), Str.size());
}

void TnxSqlPSMWriter::WriteWString(platform::UnicodeStringView Str) {
  if (Str.size() > std::size_t(INT32_MAX / 2)) throw EnxInternalSQLException(u"Text too long for the node stream");
  WriteInt(std::int32_t(Str.size()));
  for (char16_t c : Str) {
    const std::uint8_t b[2] = {std::uint8_t(c), std::uint8_t(c >> 8)};
    Put(b, 2);
  }
}

void TnxSqlPSMWriter::WriteNode(const TnxSqlNode* Node) {
  nxAssert(Node != nullptr, "WriteNode of nil");
  WriteByte(0xFF);
  WriteInt(Node->GetVersion());
  WritePString(Node->className());
  Node->SaveToStream(*this);
}

void TnxSqlPSMWriter::WriteNodeOpt(const TnxSqlNode* Node) {
  WriteBool(Node != nullptr);
  if (Node) WriteNode(Node);
}

// ----------------------------------------------------------------- reader

std::int64_t TnxSqlPSMReader::Remaining() {
  const std::int64_t rest = FSourceStream.Size() - FSourceStream.Position();
  return rest > 0 ? rest : 0;
}

void TnxSqlPSMReader::Corrupt(platform::UnicodeStringView aWhat) {
  throw EnxInternalSQLException(u"Node stream is corrupt: %s at offset %d",
                                {nxString(aWhat), std::int64_t(FSourceStream.Position())});
}

void TnxSqlPSMReader::Get(void* aData, std::int64_t aCount) {
  if (aCount <= 0) return;
  if (aCount > Remaining()) Corrupt(u"unexpected end of data");
  FSourceStream.ReadBuffer(aData, std::int32_t(aCount));
}

bool TnxSqlPSMReader::ReadBool() {
  const std::uint8_t b = ReadByte();
  if (b > 1) Corrupt(u"invalid Boolean");
  return b != 0;
}

std::uint8_t TnxSqlPSMReader::ReadByte() {
  std::uint8_t b = 0;
  Get(&b, 1);
  return b;
}

std::int32_t TnxSqlPSMReader::ReadInt() {
  std::uint8_t b[4];
  Get(b, 4);
  return std::int32_t(std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                      std::uint32_t(b[3]) << 24);
}

std::int64_t TnxSqlPSMReader::ReadInt64() {
  std::uint8_t b[8];
  Get(b, 8);
  std::uint64_t u = 0;
  for (int i = 7; i >= 0; --i) u = u << 8 | b[i];
  return std::int64_t(u);
}

nxString TnxSqlPSMReader::ReadLString() {
  const std::int32_t n = ReadInt();
  if (n < 0 || n > Remaining()) Corrupt(u"invalid text length");
  std::string bytes(std::size_t(n), '\0');
  Get(bytes.data(), n);
  return platform::decodeText(bytes, platform::ansiCodePage());
}

std::string TnxSqlPSMReader::ReadPString() {
  const std::uint8_t n = ReadByte();
  std::string s(n, '\0');
  Get(s.data(), n);
  return s;
}

nxString TnxSqlPSMReader::ReadWString() {
  const std::int32_t n = ReadInt();
  if (n < 0 || std::int64_t(n) * 2 > Remaining()) Corrupt(u"invalid text length");
  std::string bytes(std::size_t(n) * 2, '\0');
  Get(bytes.data(), std::int64_t(n) * 2);
  nxString s(std::size_t(n), u'\0');
  for (std::size_t i = 0; i < s.size(); ++i)
    s[i] = char16_t(std::uint8_t(bytes[2 * i]) | std::uint8_t(bytes[2 * i + 1]) << 8);
  return s;
}

std::int32_t TnxSqlPSMReader::ReadCount(std::int32_t aMinItemBytes) {
  const std::int32_t n = ReadInt();
  if (n < 0 || std::int64_t(n) * std::max(aMinItemBytes, 1) > Remaining()) Corrupt(u"invalid item count");
  return n;
}

TnxSqlNode* TnxSqlPSMReader::ReadNode(TnxSqlNode* AOwner) {
  std::int32_t version = 1;
  if (ReadByte() == 0xFF)
    version = ReadInt();
  else
    FSourceStream.Seek(-1, soCurrent);
  std::string name = ReadPString();
  if (name.empty()) name = ReadPString();
  if (name.empty()) Corrupt(u"node without class name");
  if (FDepth >= kMaxNodeDepth) Corrupt(u"nodes nested too deeply");

  TnxSqlNode* node = CreateSqlNodeByClassName(name, AOwner);
  const std::int32_t savedVersion = FVersion;
  FVersion = version;
  ++FDepth;
  try {
    node->LoadFromStream(*this);
  } catch (...) {
    --FDepth;
    FVersion = savedVersion;
    platform::TObject::free(node);
    throw;
  }
  --FDepth;
  FVersion = savedVersion;
  return node;
}

TnxSqlNode* TnxSqlPSMReader::ReadNodeOpt(TnxSqlNode* AOwner) { return ReadBool() ? ReadNode(AOwner) : nullptr; }
