#include "nxllBlowfishRC4.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nxExpectCode.h"
#include "nxllOwners.h"
#include "plErrors.h"

namespace {

std::vector<std::uint8_t> hex(const std::string& aText) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < aText.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoul(aText.substr(i, 2), nullptr, 16)));
  return out;
}

std::string toHex(const std::uint8_t* aData, std::size_t aLen) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < aLen; ++i) {
    s.push_back(digits[aData[i] >> 4]);
    s.push_back(digits[aData[i] & 15]);
  }
  return s;
}

TnxByteString bytes(const std::vector<std::uint8_t>& aData) { return {aData.begin(), aData.end()}; }

TEST(RC4Test, KeystreamsOfPublishedVectors) {
  // Key repeated to 256 bytes is the ordinary key schedule.
  struct Case {
    const char* key;
    const char* stream;
  } cases[] = {
      {"0102030405", "b2396305f03dc027ccc3524a0a1118a8"},
      {"0102030405060708", "97ab8a1bf0afb96132f2f67258da15a8"},
      {"0102030405060708090a0b0c0d0e0f10", "9ac7cc9a609d1ef7b2932899cde41b97"},
  };
  for (const Case& c : cases) {
    TnxOwned<TnxRC4> rc4(platform::create<TnxRC4>());
    rc4->SetKeys(bytes(hex(c.key)));
    std::uint8_t out[16];
    for (int i = 0; i < 16; i += 4) {
      const std::uint32_t w = rc4->KeyStream();  // first byte lowest
      for (int b = 0; b < 4; ++b) out[i + b] = static_cast<std::uint8_t>(w >> (8 * b));
    }
    EXPECT_EQ(toHex(out, 16), c.stream) << c.key;
  }
}

TEST(RC4Test, ResetStartsFromTheKeyedPermutation) {
  TnxOwned<TnxRC4> a(platform::create<TnxRC4>()), b(platform::create<TnxRC4>());
  a->SetKeys(TnxByteString("key"));
  b->SetKeys(TnxByteString("key"));
  std::uint8_t code[256];
  for (int i = 0; i < 256; ++i) code[i] = static_cast<std::uint8_t>(i * 7);
  (void)a->KeyStream();
  a->Reset(code);
  b->Reset(code);
  EXPECT_EQ(a->KeyStream(), b->KeyStream());
  TnxOwned<TnxRC4> empty(platform::create<TnxRC4>());
  empty->SetKeys(TnxByteString());
  for (int i = 0; i < 256; ++i) EXPECT_EQ(empty->rcK[i], i);
}

TEST(BlowfishCoreTest, TextbookSettingPassesPublishedVectors) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  } cases[] = {
      {"0000000000000000", "0000000000000000", "4ef997456198dd78"},
      {"ffffffffffffffff", "ffffffffffffffff", "51866fd5b85ecb8a"},
      {"3000000000000000", "1000000000000001", "7d856f9a613063f2"},
      {"1111111111111111", "1111111111111111", "2466dd878b963c9d"},
      {"0123456789abcdef", "1111111111111111", "61f9c3802281b096"},
      {"fedcba9876543210", "0123456789abcdef", "0aceab0fc6a0a28d"},
  };
  for (const Case& c : cases) {
    TnxBlowfishCore core;
    core.LittleEndianWords = false;
    core.LowByteFirstSBox = false;
    const auto key = hex(c.key);
    core.Init(key.data(), key.size());
    auto unit = hex(c.plain);
    core.EncryptBytes(unit.data());
    EXPECT_EQ(toHex(unit.data(), 8), c.cipher) << c.key;
    core.DecryptBytes(unit.data());
    EXPECT_EQ(toHex(unit.data(), 8), c.plain);
  }
  TnxBlowfishCore core;
  core.LoadInitialTables();
  EXPECT_EQ(core.P[0], 0x243F6A88u);
  EXPECT_EQ(core.P[17], 0x8979FB1Bu);
  EXPECT_EQ(core.S[0][0], 0xD1310BA6u);
  EXPECT_EQ(core.S[3][255], 0x3AC372E6u);
}

TEST(BlowfishCoreTest, TableSettingKnownAnswers) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  } cases[] = {
      {"0000000000000000", "0000000000000000", "7a38eacf056d789a"},
      {"0123456789abcdef", "1111111111111111", "ad16932e9d2f2739"},
      {"fedcba9876543210", "0123456789abcdef", "2db5796b98ae4230"},
  };
  for (const Case& c : cases) {
    TnxBlowfishCore core;  // little-endian words, lowest byte to the first S-box
    const auto key = hex(c.key);
    core.Init(key.data(), key.size());
    auto unit = hex(c.plain);
    core.EncryptBytes(unit.data());
    EXPECT_EQ(toHex(unit.data(), 8), c.cipher) << c.key;
    core.DecryptBytes(unit.data());
    EXPECT_EQ(toHex(unit.data(), 8), c.plain);
  }
}

TEST(BlowfishRC4Test, KnownAnswerOfTheWholeChain) {
  TnxOwned<TnxBlowFishRC4> c(platform::create<TnxBlowFishRC4>(TnxByteString("DazavAV key")));
  std::uint8_t data[16];
  for (int i = 0; i < 16; ++i) data[i] = static_cast<std::uint8_t>(i);
  c->ResetIV(0x01234567u, 0x89ABCDEFu);
  c->Encode(data, 16);
  std::uint8_t mac[8];
  c->Final(mac);
  EXPECT_EQ(toHex(data, 16), "92b1b56710ce6798d16a1d57107aa8c0");
  EXPECT_EQ(toHex(mac, 8), "f22c6e412e00db6d");
}

TEST(BlowfishRC4Test, RoundTripWithTheSameFinalOnBothSides) {
  TnxOwned<TnxBlowFishRC4> enc(platform::create<TnxBlowFishRC4>(TnxByteString("secret")));
  TnxOwned<TnxBlowFishRC4> dec(platform::create<TnxBlowFishRC4>(TnxByteString("secret")));
  std::uint8_t plain[64], data[64];
  for (int i = 0; i < 64; ++i) plain[i] = static_cast<std::uint8_t>(i * 13 + 1);
  std::memcpy(data, plain, 64);
  enc->ResetIV(0, 0);
  enc->Encode(data, 64);
  EXPECT_NE(std::memcmp(data, plain, 64), 0);
  std::uint8_t mac1[8], mac2[8];
  enc->Final(mac1);
  dec->ResetIV(0, 0);
  dec->Decode(data, 64);
  dec->Final(mac2);
  EXPECT_EQ(std::memcmp(data, plain, 64), 0);
  EXPECT_EQ(std::memcmp(mac1, mac2, 8), 0);
}

TEST(BlowfishRC4Test, AFlippedByteChangesTheUnitAndTheFinal) {
  TnxOwned<TnxBlowFishRC4> c(platform::create<TnxBlowFishRC4>(TnxByteString("secret")));
  std::uint8_t plain[32] = {1, 2, 3}, data[32];
  std::memcpy(data, plain, 32);
  std::uint8_t iv[8], mac[8];
  c->EncodeTransport(iv, data, 32, mac);
  EXPECT_TRUE(c->DecodeTransport(iv, data, 32, mac));
  EXPECT_EQ(std::memcmp(data, plain, 32), 0);
  c->EncodeTransport(iv, data, 32, mac);
  data[9] ^= 0x40;
  EXPECT_FALSE(c->DecodeTransport(iv, data, 32, mac));
  EXPECT_NE(std::memcmp(data + 8, plain + 8, 8), 0);
}

TEST(BlowfishRC4Test, EncodeAfterFinalIsRefusedUntilANewIV) {
  TnxOwned<TnxBlowFishRC4> c(platform::create<TnxBlowFishRC4>(TnxByteString("k")));
  std::uint8_t data[8] = {}, mac[8];
  c->ResetIV(1, 2);
  c->Encode(data, 8);
  c->Final(mac);
  EXPECT_THROW(c->Encode(data, 8), platform::AssertionFailed);
  EXPECT_THROW(c->Decode(data, 8), platform::AssertionFailed);
  c->ResetIV(1, 2);
  c->Decode(data, 8);
  EXPECT_THROW(c->Encode(data, 7), platform::AssertionFailed);
}

TEST(BlowfishRC4Test, AnEmptyKeyIsTheOneSpaceKey) {
  TnxOwned<TnxBlowFishRC4> a(platform::create<TnxBlowFishRC4>(TnxByteString()));
  TnxOwned<TnxBlowFishRC4> b(platform::create<TnxBlowFishRC4>(TnxByteString(" ")));
  std::uint8_t x[16] = {5}, y[16] = {5};
  a->ResetIV(7, 9);
  b->ResetIV(7, 9);
  a->Encode(x, 16);
  b->Encode(y, 16);
  EXPECT_EQ(std::memcmp(x, y, 16), 0);
}

TEST(BlowfishRC4Test, RandomIVsDiffer) {
  TnxOwned<TnxBlowFishRC4> c(platform::create<TnxBlowFishRC4>(TnxByteString("k")));
  std::uint8_t iv1[8], iv2[8];
  c->RandomIVBlock(iv1);
  c->RandomIVBlock(iv2);
  EXPECT_NE(std::memcmp(iv1, iv2, 8), 0);
}

TEST(BlowfishRC4Test, DeriveKeyIsDeterministicAndDependsOnEveryInput) {
  TnxOwned<TnxBlowFishRC4> c(platform::create<TnxBlowFishRC4>(TnxByteString("k")));
  const std::string pwd = "password", salt(40, 's');  // the salt spans a full 28-byte piece
  auto run = [&](const std::string& aPwd, const std::string& aSalt, const std::string& aLabel) {
    TnxOwned<TnxBaseCipher> d(c->DeriveKey(aPwd.data(), aPwd.size(), aSalt.data(), aSalt.size(), aLabel));
    std::uint8_t data[8] = {}, mac[8];
    d->ResetIVBlock(data);
    d->Encode(data, 8);
    d->Final(mac);
    return toHex(data, 8);
  };
  const std::string base = run(pwd, salt, "label");
  EXPECT_EQ(base, run(pwd, salt, "label"));
  EXPECT_NE(base, run("passwore", salt, "label"));
  EXPECT_NE(base, run(pwd, salt + "x", "label"));
  EXPECT_NE(base, run(pwd, salt, "label2"));
}

TEST(BlowfishRC4Test, AlternativeModeRoundTrip) {
  std::vector<std::uint8_t> plain(1024), data;
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i * 31 + 7);
  data = plain;
  TnxBlowFishRC4::EncodeAltPrim(data.data(), data.size());
  EXPECT_NE(data, plain);
  TnxBlowFishRC4::DecodeAltPrim(data.data(), data.size());
  EXPECT_EQ(data, plain);
  EXPECT_THROW(TnxBlowFishRC4::EncodeAltPrim(data.data(), 100), platform::AssertionFailed);
}

class CipherRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { nxllBlowfishRC4Initialize(); }
  void TearDown() override { nxllBlowfishRC4Finalize(); }
};

TEST_F(CipherRegistryTest, RegisteredInBothRegistries) {
  EXPECT_EQ(TnxBaseCipher::AltCurrent(), &TnxBlowFishRC4::staticClassInfo());
  EXPECT_EQ(TnxBaseCipher::FindKeyWrapClass(u"blowfishrc4"), &TnxBlowFishRC4::staticClassInfo());
  EXPECT_EQ(TnxBaseCipher::PreferredKeyWrapClass(), &TnxBlowFishRC4::staticClassInfo());
  nxtest::expectCode<EnxBaseCipherException>([] { (void)TnxBaseCipher::MustFindKeyWrapClass(u"AES"); }, 0,
                                             u"Unable to find key wrap class with algorithm name \"AES\"");
  std::vector<std::uint8_t> data(512, 3), plain = data;
  TnxBaseCipher::EncodeAlt(data.data(), data.size());
  TnxBaseCipher::DecodeAlt(data.data(), data.size());
  EXPECT_EQ(data, plain);
  TnxBaseCipher::AltLock();
  nxtest::expectCode<EnxBaseCipherException>(
      [] { TnxBaseCipher::AltUnregister(TnxBlowFishRC4::staticClassInfo()); }, 10241);
  TnxBaseCipher::AltUnLock();
  EXPECT_THROW(TnxBaseCipher::AltUnLock(), platform::AssertionFailed);
}

TEST(CipherRegistryEmptyTest, NoAlternativeClass) {
  nxtest::expectCode<EnxBaseCipherException>([] { TnxBaseCipher::AltLock(); }, 12289,
                                              u"No alternative mode cipher class registered");
  std::vector<std::uint8_t> data(256);
  nxtest::expectCode<EnxBaseCipherException>([&] { TnxBaseCipher::EncodeAlt(data.data(), 256); }, 12289);
}

}  // namespace
