// The main function of every test executable. It hands the build's folders to
// the tests and to the programs they start, through the environment, unless
// the caller has set them already.
#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  setenv("DC_TEST_BINARY_DIR", DC_TEST_BINARY_DIR_DEFAULT, 0);
  setenv("DC_SOURCE_DIR", DC_SOURCE_DIR_DEFAULT, 0);
  // Tests never write to the machine's log folder: this one cannot be
  // created, so logs without a folder of their own go to a private one.
  setenv("DC_SYSTEM_LOG_DIR", "/proc/self/no-system-log-folder", 0);
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
