// The main function of every Windows test executable: the build's folders
// reach the tests through the environment, unless the caller has set them.
#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  setenv("DC_TEST_BINARY_DIR", DC_TEST_BINARY_DIR_DEFAULT, 0);
  setenv("DC_SOURCE_DIR", DC_SOURCE_DIR_DEFAULT, 0);
  // Tests never write to the machine's log folder: this one cannot be created.
  setenv("DC_SYSTEM_LOG_DIR", "NUL\\no-system-log-folder", 0);
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
