#include "platform/AesCbc.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "support/TestVectors.h"

namespace orvel {
namespace {

TEST(AesCbc, MatchesWycheproofAndRefusesBadPadding) {
  const auto file = test::wycheproofFile("aes_cbc_pkcs5_test.json");
  std::size_t valid = 0, invalid = 0;
  for (const auto& group : file["testGroups"]) {
    if (group["keySize"] != 256) continue;
    for (const auto& t : group["tests"]) {
      const Bytes key = Data::fromHex(t["key"].get<std::string>());
      const Bytes iv = Data::fromHex(t["iv"].get<std::string>());
      const Bytes message = Data::fromHex(t["msg"].get<std::string>());
      const Bytes ciphertext = Data::fromHex(t["ct"].get<std::string>());
      if (t["result"] == "valid") {
        ++valid;
        EXPECT_EQ(AesCbc::encrypt(key, iv, message), ciphertext) << "tcId " << t["tcId"];
        EXPECT_EQ(AesCbc::decrypt(key, iv, ciphertext), message) << "tcId " << t["tcId"];
      } else {
        ++invalid;
        EXPECT_EQ(AesCbc::decrypt(key, iv, ciphertext), std::nullopt) << "tcId " << t["tcId"];
      }
    }
  }
  EXPECT_EQ(valid, 24u);
  EXPECT_EQ(invalid, 48u);
}

// The NIST files hold unpadded CBC: our ciphertext starts with theirs, and
// their ciphertext followed by our padding block decrypts to their plaintext.
TEST(AesCbc, MatchesNistKnownAnswers) {
  std::size_t count = 0;
  for (const char* name : {"CBCGFSbox256.rsp", "CBCKeySbox256.rsp", "CBCMMT256.rsp", "CBCVarKey256.rsp", "CBCVarTxt256.rsp"}) {
    for (const auto& r : test::vectorFile(std::string("ciphers/AES/CBC/") + name, "COUNT")) {
      ++count;
      const Bytes key = Data::fromHex(r.at("KEY"));
      const Bytes iv = Data::fromHex(r.at("IV"));
      const Bytes plaintext = Data::fromHex(r.at("PLAINTEXT"));
      const Bytes ciphertext = Data::fromHex(r.at("CIPHERTEXT"));
      const auto padded = AesCbc::encrypt(key, iv, plaintext);
      ASSERT_TRUE(padded) << name << ' ' << r.at("COUNT");
      ASSERT_EQ(padded->size(), ciphertext.size() + AesCbc::blockSize);
      EXPECT_TRUE(std::equal(ciphertext.begin(), ciphertext.end(), padded->begin())) << name << ' ' << r.at("COUNT");
      Bytes theirs = ciphertext;
      theirs.insert(theirs.end(), padded->end() - AesCbc::blockSize, padded->end());
      EXPECT_EQ(AesCbc::decrypt(key, iv, theirs), plaintext) << name << ' ' << r.at("COUNT");
    }
  }
  EXPECT_EQ(count, 830u);
}

TEST(AesCbc, RefusesWrongKeyOrIvSizeAndPartialBlocks) {
  const Bytes key(32, 7), iv(16, 9), data(20, 1);
  const Bytes ciphertext = *AesCbc::encrypt(key, iv, data);
  EXPECT_EQ(ciphertext.size(), 32u);
  EXPECT_EQ(AesCbc::encrypt(Bytes(16, 7), iv, data), std::nullopt);
  EXPECT_EQ(AesCbc::encrypt(key, Bytes(15, 9), data), std::nullopt);
  EXPECT_EQ(AesCbc::decrypt(key, Bytes(17, 9), ciphertext), std::nullopt);
  EXPECT_EQ(AesCbc::decrypt(key, {}, ciphertext), std::nullopt);
  EXPECT_EQ(AesCbc::decrypt(key, iv, ByteView(ciphertext).first(31)), std::nullopt);
  EXPECT_EQ(AesCbc::decrypt(key, iv, {}), std::nullopt);
}

TEST(AesCbc, EncryptsPiecesAsTheirConcatenation) {
  const Bytes key(32, 3), iv(16, 4), a{1, 2, 3}, b(40, 5), c{6};
  Bytes whole = a;
  whole.insert(whole.end(), b.begin(), b.end());
  whole.insert(whole.end(), c.begin(), c.end());
  Bytes out(AesCbc::outputCapacity(whole.size()));
  const auto length = AesCbc::encrypt(key, iv, {a, b, c}, out.data());
  ASSERT_EQ(length, AesCbc::paddedSize(whole.size()));
  out.resize(*length);
  EXPECT_EQ(out, AesCbc::encrypt(key, iv, whole));
}

// Each block is read before its plaintext lands on it, and the padding is
// stripped without writing past the ciphertext.
TEST(AesCbc, DecryptsInPlace) {
  const Bytes key(32, 0x31), iv(16, 0x7c);
  for (std::size_t size : {0, 1, 15, 16, 17, 1000, 524'288}) {
    SCOPED_TRACE(size);
    Bytes plaintext(size);
    for (std::size_t i = 0; i < size; ++i) plaintext[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    Bytes buffer = *AesCbc::encrypt(key, iv, plaintext);
    const auto length = AesCbc::decrypt(key, iv, buffer, buffer.data());
    ASSERT_EQ(length, size);
    EXPECT_TRUE(std::equal(plaintext.begin(), plaintext.end(), buffer.begin()));
  }
}

}  // namespace
}  // namespace orvel
