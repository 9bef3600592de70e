#include "protocol/ByteHelpers.h"

#include <gtest/gtest.h>

namespace orvel {
namespace {

struct HexCase {
  const char* text;
  Bytes expected;
  friend void PrintTo(const HexCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }
};

class DataFromHex : public testing::TestWithParam<HexCase> {};

TEST_P(DataFromHex, ReadsPairsAndSkipsUnreadableOnes) {
  EXPECT_EQ(Data::fromHex(GetParam().text), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Pairs, DataFromHex,
    testing::Values(HexCase{"", {}}, HexCase{"0aFF", {0x0a, 0xff}}, HexCase{"00zz7f", {0x00, 0x7f}},
                    HexCase{"+f", {0x0f}}, HexCase{"-0", {0x00}}, HexCase{"-1", {}}, HexCase{"+g", {}},
                    HexCase{" 1", {}},
                    // no re-alignment after a bad pair: "a1" "2b" read, "x" lonely
                    HexCase{"zza12b", {0xa1, 0x2b}}, HexCase{"abc", {0xab}}, HexCase{"0x10", {0x10}},
                    // pairs of characters, not of bytes: "ü0" "af" "f"
                    HexCase{"\xC3\xBC" "0aff", {0xaf}},
                    // an accented a is one character: "0á" "ff"
                    HexCase{"0a\xCC\x81" "ff", {0xff}},
                    // a byte that is no UTF-8 is one character: "\xFF0" "af" "f"
                    HexCase{"\xFF" "0aff", {0xaf}}));

TEST(DataFromHex, SixtyFourDigitsGiveThirtyTwoBytes) {
  auto bytes = Data::fromHex("82AA55A0D397F88346CA1CEE8D3909B95F13FA7DEB1D4AB38376B8256DA85510");
  ASSERT_EQ(bytes.size(), 32u);
  EXPECT_EQ(bytes.front(), 0x82);
  EXPECT_EQ(bytes.back(), 0x10);
}

TEST(DataRandom, GivesExactLengthAndFreshBytes) {
  EXPECT_TRUE(Data::random(0).empty());
  auto a = Data::random(16);
  auto b = Data::random(16);
  EXPECT_EQ(a.size(), 16u);
  EXPECT_NE(a, b);
}

TEST(Hex, RendersLowerCaseAndCutsPrefix) {
  Bytes bytes{0x0a, 0x1b, 0xff};
  EXPECT_EQ(hexString(bytes), "0a1bff");
  EXPECT_EQ(hexString({}), "");
  Bytes sixty(60, 0xab);
  std::string expected;
  for (int i = 0; i < 50; ++i) expected += "ab";
  EXPECT_EQ(hexPrefix(sixty), expected);
  EXPECT_EQ(hexPrefix(sixty).size(), 100u);
  EXPECT_EQ(hexPrefix(bytes), "0a1bff");
}

}  // namespace
}  // namespace orvel
