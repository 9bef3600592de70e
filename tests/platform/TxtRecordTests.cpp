#include "platform/TxtRecord.h"

#include <gtest/gtest.h>

namespace orvel {
namespace {

Bytes bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(TxtRecord, LengthPrefixedStringsInKeyOrder) {
  EXPECT_EQ(TxtRecord::data({{"n", bytes("abc")}}), bytes("\x05n=abc"));
  EXPECT_EQ(TxtRecord::data({{"b", bytes("")}, {"a", bytes("1")}}), bytes("\x03" "a=1" "\x02" "b="));
  EXPECT_TRUE(TxtRecord::data({}).empty());
}

TEST(TxtRecord, RefusesWhatNoStringCanHold) {
  auto longest = TxtRecord::data({{"n", Bytes(253, 'x')}});
  EXPECT_EQ(longest.size(), 256u);
  EXPECT_EQ(longest[0], 255);
  EXPECT_THROW(TxtRecord::data({{"n", Bytes(254, 'x')}}), std::invalid_argument);
  EXPECT_THROW(TxtRecord::data({{"", bytes("x")}}), std::invalid_argument);
  EXPECT_THROW(TxtRecord::data({{"a=b", bytes("x")}}), std::invalid_argument);
}

}  // namespace
}  // namespace orvel
