#include "platform/Uuid.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unordered_set>

namespace orvel {
namespace {

TEST(Uuid, RandomVersionFourInUpperCaseStandardForm) {
  auto uuid = Uuid::random();
  EXPECT_THAT(uuid.uuidString(),
              testing::MatchesRegex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}"));
}

TEST(Uuid, EqualityAndHashingAgree) {
  auto a = Uuid::random();
  auto copy = a;
  auto b = Uuid::random();
  EXPECT_EQ(a, copy);
  EXPECT_NE(a, b);
  std::unordered_set<Uuid> set{a, copy, b};
  EXPECT_EQ(set.size(), 2u);
}

}  // namespace
}  // namespace orvel
