#include "platform/Hmac.h"

#include <gtest/gtest.h>

#include "support/TestVectors.h"

namespace orvel {
namespace {

TEST(Hmac, MatchesRfc4231) {
  const auto records = test::vectorFile("HMAC/rfc-4231-sha256.txt", "Len");
  ASSERT_EQ(records.size(), 6u);
  for (const auto& record : records) {
    const Bytes key = Data::fromHex(record.at("Key"));
    const Bytes message = Data::fromHex(record.at("Msg"));
    const Hmac::Tag tag = Hmac::sha256(key, message);
    EXPECT_EQ(hexString(tag), record.at("MD"));
    EXPECT_TRUE(Hmac::verifySha256(key, message, Data::fromHex(record.at("MD"))));
  }
}

// Valid tags verify (truncated ones by their prefix), modified ones never do;
// a truncated tag is never accepted by the full-length verification.
TEST(Hmac, WycheproofTagsVerifyAndModifiedTagsFail) {
  const auto file = test::wycheproofFile("hmac_sha256_test.json");
  std::size_t valid = 0, invalid = 0;
  for (const auto& group : file["testGroups"]) {
    const std::size_t tagBytes = group["tagSize"].get<std::size_t>() / 8;
    for (const auto& t : group["tests"]) {
      const Bytes key = Data::fromHex(t["key"].get<std::string>());
      const Bytes message = Data::fromHex(t["msg"].get<std::string>());
      const Bytes tag = Data::fromHex(t["tag"].get<std::string>());
      const Hmac::Tag computed = Hmac::sha256(key, message);
      const bool prefixMatches = Bytes(computed.begin(), computed.begin() + tagBytes) == tag;
      const bool verifies = Hmac::verifySha256(key, message, tag);
      if (t["result"] == "valid") {
        ++valid;
        EXPECT_TRUE(prefixMatches) << "tcId " << t["tcId"];
        EXPECT_EQ(verifies, tagBytes == computed.size()) << "tcId " << t["tcId"];
      } else {
        ++invalid;
        EXPECT_FALSE(prefixMatches) << "tcId " << t["tcId"];
        EXPECT_FALSE(verifies) << "tcId " << t["tcId"];
      }
    }
  }
  EXPECT_EQ(valid, 66u);
  EXPECT_EQ(invalid, 108u);
}

TEST(Hmac, VerificationRefusesWrongLengthsAndEveryFlippedBit) {
  const Bytes key(32, 0x11);
  const Bytes message{1, 2, 3};
  const Hmac::Tag tag = Hmac::sha256(key, message);
  EXPECT_FALSE(Hmac::verifySha256(key, message, {}));
  EXPECT_FALSE(Hmac::verifySha256(key, message, ByteView(tag).first(31)));
  Bytes longer(tag.begin(), tag.end());
  longer.push_back(0);
  EXPECT_FALSE(Hmac::verifySha256(key, message, longer));
  for (std::size_t bit = 0; bit < tag.size() * 8; ++bit) {
    Bytes flipped(tag.begin(), tag.end());
    flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(Hmac::verifySha256(key, message, flipped)) << bit;
  }
}

}  // namespace
}  // namespace orvel
