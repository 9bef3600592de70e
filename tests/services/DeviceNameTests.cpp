#include "services/DeviceName.h"

#include <gtest/gtest.h>

#include "platform/HostName.h"
#include "support/TestSupport.h"

namespace orvel {
namespace {

std::string repeat(std::string_view text, std::size_t count) {
  std::string result;
  for (std::size_t i = 0; i < count; ++i) result += text;
  return result;
}

const std::string family = "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7\xE2\x80\x8D"
                           "\xF0\x9F\x91\xA6";                  // man ZWJ woman ZWJ girl ZWJ boy: 25 bytes
const std::string flag = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7";     // two regional indicators: 8 bytes
const std::string accented = "e\xCC\x81";                        // e + combining acute: 3 bytes
const std::string hangul = "\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8";  // L V T jamo: one syllable, 9 bytes
const std::string replacement = "\xEF\xBF\xBD";

struct FitCase {
  std::string name;
  std::string input;
  std::string expected;
};

class DeviceNameFitted : public testing::TestWithParam<FitCase> {};

TEST_P(DeviceNameFitted, CutsAtCharacterBoundariesWithinBothLimits) {
  const auto& c = GetParam();
  auto fitted = DeviceName::fitted(c.input);
  EXPECT_EQ(fitted, c.expected);
  EXPECT_LE(fitted.size(), DeviceName::byteLimit);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DeviceNameFitted,
    testing::Values(
        FitCase{"Empty", "", ""}, FitCase{"Short", "Hello", "Hello"},
        FitCase{"FortyAsciiKeepsThirtyTwo", "abcdefghijklmnopqrstuvwxyz0123456789ABCD",
                "abcdefghijklmnopqrstuvwxyz012345"},
        FitCase{"CombiningMarksStayWithTheirBase", repeat(accented, 40), repeat(accented, 32)},
        FitCase{"CrLfIsOneCharacter", repeat("\r\n", 40), repeat("\r\n", 32)},
        FitCase{"ZwjFamiliesCutByBytes", repeat(family, 40), repeat(family, 6)},  // 7 would be 175 bytes
        FitCase{"FlagsCutByBytes", repeat(flag, 40), repeat(flag, 21)},           // 22 would be 176 bytes
        FitCase{"JamoSyllablesFillTheLimitExactly", repeat(hangul, 40), repeat(hangul, 19)},  // 171 bytes
        FitCase{"FamilyAsTheThirtySecondCharacter", repeat("a", 31) + family + "z", repeat("a", 31) + family},
        // 52 bytes, then "c" with 60 marks (121 bytes) would pass 171: it and all after it go.
        FitCase{"CharacterOverTheByteLimitEndsTheName", "ab" + family + family + "c" + repeat("\xCC\x81", 60) + "d",
                "ab" + family + family},
        FitCase{"SingleHugeCharacterGivesEmptyName", "a" + repeat("\xCC\x81", 100) + "b", ""},
        FitCase{"InvalidBytesBecomeReplacementCharacters", "ab\xFF" "cd", "ab" + replacement + "cd"},
        FitCase{"TruncatedSequence", "x\xC3", "x" + replacement},
        FitCase{"OverlongSequence", "x\xC0\xAFy", "x" + replacement + replacement + "y"},
        FitCase{"LoneSurrogateEncoding", "\xED\xA0\x80", repeat(replacement, 3)},
        FitCase{"ManyInvalidBytes", repeat("\xFF", 40), repeat(replacement, 32)}),
    [](const testing::TestParamInfo<FitCase>& param) { return param.param.name; });

TEST(DeviceName, StoredSettingFirstEvenWhenEmpty) {
  test::ScopedHome home;
  home.writeSettings(R"({"Orvel.deviceName": "Desk"})");
  EXPECT_EQ(DeviceName::current(), "Desk");
  home.writeSettings(R"({"Orvel.deviceName": ""})");
  EXPECT_EQ(DeviceName::current(), "");
  home.writeSettings(R"({"Orvel.deviceName": "A name of forty characters, far too long"})");
  EXPECT_EQ(DeviceName::current(), "A name of forty characters, far ");
}

TEST(DeviceName, HostNameWhenNothingIsStored) {
  test::ScopedHome home;
  home.writeSettings(R"({"Orvel.deviceName": 42})");
  EXPECT_EQ(DeviceName::current(), DeviceName::fitted(HostName::localized().value_or("Mac")));
  EXPECT_FALSE(DeviceName::current().empty());
}

}  // namespace
}  // namespace orvel
