#include <gtest/gtest.h>

#include "support/helpers.h"

int main(int argc, char** argv) {
  const int helper = pel_test::RunHelperIfAsked(argc, argv);
  if (helper >= 0) return helper;
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
