#pragma once

#include <gtest/gtest.h>

namespace orvel::test {

// Runs `body` and expects it to throw exactly `expected`, an engine error enum.
template <class E, class F>
void expectError(F&& body, E expected) {
  try {
    body();
    ADD_FAILURE() << "no error, expected " << toString(expected);
  } catch (E error) {
    EXPECT_EQ(toString(error), toString(expected));
  }
}

}  // namespace orvel::test
