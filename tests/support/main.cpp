// Test entry point: hosts pass texts in the locale's character set, so every
// test runs under a UTF-8 locale, as a Linux file manager does.
#include <gtest/gtest.h>

#include <clocale>

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
