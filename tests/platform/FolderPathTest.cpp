#include <gtest/gtest.h>

#include <string>

#include "platform/Files.h"

namespace {

TEST(WithPathSeparator, AddsTheSystemsSeparatorOnlyWhereOneIsMissing) {
  const std::string separator(1, platform::PathSeparator());
  const struct {
    std::string folder;
    std::string expected;
  } cases[] = {
      {"", ""},
      {"data", "data" + separator},
      {"data" + separator, "data" + separator},
      {"data/", "data/"},
      {"Café Étoile", "Café Étoile" + separator},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::WithPathSeparator(c.folder), c.expected) << c.folder;
}

}  // namespace
