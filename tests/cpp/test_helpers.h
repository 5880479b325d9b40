#pragma once

#include <gtest/gtest.h>

#include <string>

// Runs `f` and checks that it throws exactly `E` (not a subclass caught as a
// base) with message `what`.
template <typename E, typename F>
void expect_throw(F&& f, const std::string& what) {
  try {
    f();
    ADD_FAILURE() << "no exception, expected: " << what;
  } catch (const E& e) {
    EXPECT_EQ(typeid(e), typeid(E));
    EXPECT_EQ(std::string(e.what()), what);
  } catch (const std::exception& e) {
    ADD_FAILURE() << "wrong exception " << typeid(e).name() << ": " << e.what();
  }
}
