#include "platform/Hash.h"

#include <gtest/gtest.h>

#include "support/TestVectors.h"

namespace orvel {
namespace {

// NIST short-message files: Msg holds Len bits (Len = 0 still shows one byte).
void runShortMessages(const std::string& file, Bytes (*hash)(ByteView), std::size_t expectedCount) {
  const auto records = test::vectorFile("hashes/SHA2/" + file, "Len");
  ASSERT_EQ(records.size(), expectedCount);
  for (const auto& record : records) {
    Bytes message = Data::fromHex(record.at("Msg"));
    message.resize(std::stoul(record.at("Len")) / 8);
    EXPECT_EQ(hexString(hash(message)), record.at("MD")) << file << " Len=" << record.at("Len");
  }
}

TEST(Hash, Sha256MatchesNistShortMessages) { runShortMessages("SHA256ShortMsg.rsp", Hash::sha256, 65); }

TEST(Hash, Sha512MatchesNistShortMessages) { runShortMessages("SHA512ShortMsg.rsp", Hash::sha512, 129); }

}  // namespace
}  // namespace orvel
