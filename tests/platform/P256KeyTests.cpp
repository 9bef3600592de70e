#include <openssl/bn.h>

#include <gtest/gtest.h>

#include <system_error>

#include "platform/P256PrivateKey.h"
#include "platform/P256PublicKey.h"
#include "support/TestVectors.h"

namespace orvel {
namespace {

const Bytes p256Prime = Data::fromHex("ffffffff00000001000000000000000000000000ffffffffffffffffffffffff");

// Valid cases agree on the shared x coordinate; invalid points (off the curve,
// on the twist, empty, compressed) are refused on import. The one "acceptable"
// case is a compressed point, which this layer refuses by design.
TEST(P256Key, WycheproofEcdh) {
  const auto file = test::wycheproofFile("ecdh_secp256r1_ecpoint_test.json");
  std::size_t valid = 0, invalid = 0, acceptable = 0;
  for (const auto& group : file["testGroups"]) {
    for (const auto& t : group["tests"]) {
      const Bytes point = Data::fromHex(t["public"].get<std::string>());
      const auto key = P256PrivateKey::fromScalar(Data::fromHex(t["private"].get<std::string>()));
      if (t["result"] == "valid") {
        ++valid;
        const auto peer = P256PublicKey::fromX963(point);
        EXPECT_EQ(hexString(key.sharedSecret(peer)), t["shared"].get<std::string>()) << "tcId " << t["tcId"];
        EXPECT_EQ(peer.x963(), point);
      } else {
        ++(t["result"] == "invalid" ? invalid : acceptable);
        EXPECT_THROW(P256PublicKey::fromX963(point), std::system_error) << "tcId " << t["tcId"];
      }
    }
  }
  EXPECT_EQ(valid, 330u);
  EXPECT_EQ(invalid, 24u);
  EXPECT_EQ(acceptable, 1u);
}

TEST(P256Key, ImportRefusesWhatIsNotAnUncompressedCurvePoint) {
  const Bytes good = P256PrivateKey::generateCompactRepresentable().publicKeyX963();
  ASSERT_NO_THROW(P256PublicKey::fromX963(good));
  auto with = [&](std::size_t index, std::uint8_t value) {
    Bytes point = good;
    point[index] = value;
    return point;
  };
  Bytes coordinateIsPrime(65, 0x00);  // x = p (out of range), y = 0
  coordinateIsPrime[0] = 0x04;
  std::copy(p256Prime.begin(), p256Prime.end(), coordinateIsPrime.begin() + 1);
  Bytes tooLong = good;
  tooLong.push_back(0);
  const std::vector<Bytes> refused{
      {},
      {0x00},  // the point at infinity
      Bytes(65, 0x00),
      with(0, 0x00),
      with(0, 0x02),
      with(0, 0x03),
      with(0, 0x06),
      with(0, 0x07),
      with(64, good[64] ^ 1),  // off the curve
      with(1, good[1] ^ 1),
      Bytes(good.begin(), good.end() - 1),
      Bytes(good.begin(), good.begin() + 33),
      tooLong,
      coordinateIsPrime,
      [] { Bytes zero(65, 0); zero[0] = 0x04; return zero; }(),
  };
  for (std::size_t i = 0; i < refused.size(); ++i) {
    EXPECT_THROW(P256PublicKey::fromX963(refused[i]), std::system_error) << "case " << i;
  }
}

// Enough keys that the negated branch runs with certainty for practical purposes;
// a wrong negation would break the agreement between the two sides.
TEST(P256Key, GeneratedKeysAreCompactAndAgree) {
  BIGNUM* p = BN_bin2bn(p256Prime.data(), 32, nullptr);
  for (int i = 0; i < 40; ++i) {
    const auto a = P256PrivateKey::generateCompactRepresentable();
    const auto b = P256PrivateKey::generateCompactRepresentable();
    const Bytes point = a.publicKeyX963();
    ASSERT_EQ(point.size(), 65u);
    ASSERT_EQ(point[0], 0x04);
    BIGNUM* y = BN_bin2bn(point.data() + 33, 32, nullptr);
    BIGNUM* other = BN_new();
    BN_sub(other, p, y);
    EXPECT_LE(BN_cmp(y, other), 0);
    BN_free(y);
    BN_free(other);
    const auto ab = a.sharedSecret(P256PublicKey::fromX963(b.publicKeyX963()));
    const auto ba = b.sharedSecret(P256PublicKey::fromX963(point));
    ASSERT_EQ(ab.size(), 32u);
    EXPECT_EQ(hexString(ab), hexString(ba));
  }
  BN_free(p);
}

TEST(P256Key, ScalarOutsideTheGroupOrderIsRefused) {
  EXPECT_THROW(P256PrivateKey::fromScalar(Bytes(32, 0)), std::system_error);
  EXPECT_THROW(P256PrivateKey::fromScalar(Bytes(32, 0xff)), std::system_error);
}

}  // namespace
}  // namespace orvel
