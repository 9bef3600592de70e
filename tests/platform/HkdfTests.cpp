#include "platform/Hkdf.h"

#include <gtest/gtest.h>

#include <system_error>

#include "support/TestVectors.h"

namespace orvel {
namespace {

TEST(Hkdf, MatchesRfc5869) {
  const auto records = test::vectorFile("KDF/rfc-5869-HKDF-SHA256.txt", "COUNT");
  ASSERT_EQ(records.size(), 3u);
  for (const auto& r : records) {
    const Bytes okm = Hkdf::sha256(Data::fromHex(r.at("IKM")), Data::fromHex(r.at("salt")), Data::fromHex(r.at("info")),
                                   std::stoul(r.at("L")));
    EXPECT_EQ(hexString(okm), r.at("OKM")) << "COUNT " << r.at("COUNT");
  }
}

TEST(Hkdf, MatchesWycheproofAndRefusesOversizedOutput) {
  const auto file = test::wycheproofFile("hkdf_sha256_test.json");
  std::size_t valid = 0, invalid = 0;
  for (const auto& group : file["testGroups"]) {
    for (const auto& t : group["tests"]) {
      const Bytes ikm = Data::fromHex(t["ikm"].get<std::string>());
      const Bytes salt = Data::fromHex(t["salt"].get<std::string>());
      const Bytes info = Data::fromHex(t["info"].get<std::string>());
      const auto size = t["size"].get<std::size_t>();
      if (t["result"] == "valid") {
        ++valid;
        EXPECT_EQ(hexString(Hkdf::sha256(ikm, salt, info, size)), t["okm"].get<std::string>()) << "tcId " << t["tcId"];
      } else {
        ++invalid;
        EXPECT_THROW(Hkdf::sha256(ikm, salt, info, size), std::system_error) << "tcId " << t["tcId"];
      }
    }
  }
  EXPECT_EQ(valid, 83u);
  EXPECT_EQ(invalid, 3u);
}

TEST(Hkdf, RefusesEmptyOutput) { EXPECT_THROW(Hkdf::sha256(Bytes(32, 1), {}, {}, 0), std::system_error); }

}  // namespace
}  // namespace orvel
