#include "model/TimeZoneRecord.h"

#include <gtest/gtest.h>

namespace {

TEST(TimeZoneRecordTest, StartsAsAFailedQuery) {
  EXPECT_EQ(TTimeZoneRecord().Mode, 0xFFFFFFFFu);
}

TEST(TimeZoneRecordTest, NamesConvertBetweenUtf8AndUtf16) {
  struct Case {
    std::string text;
    std::string back;  // the text of the UTF-16 form
  };
  const Case cases[] = {
      {"", ""},
      {"Pacific Standard Time", "Pacific Standard Time"},
      {"Mitteleurop\xc3\xa4ische Zeit", "Mitteleurop\xc3\xa4ische Zeit"},
      {"\xf0\x9f\x98\x80 clock", "\xf0\x9f\x98\x80 clock"},  // a surrogate pair
      {std::string(40, 'x'), std::string(31, 'x')},         // room for the NUL
      {std::string(30, 'x') + "\xf0\x9f\x98\x80", std::string(30, 'x')},  // a pair is not split
      {"bad \xff byte", "bad \xef\xbf\xbd byte"},
  };
  for (const Case& c : cases) {
    const auto name = TimeZoneNameFromText(c.text);
    EXPECT_EQ(name[31], u'\0') << c.text;
    EXPECT_EQ(TimeZoneNameText(name), c.back) << c.text;
  }
}

TEST(TimeZoneRecordTest, NameTextStopsAtNulOrTakesAllUnits) {
  std::array<char16_t, 32> name{};
  name.fill(u'a');
  EXPECT_EQ(TimeZoneNameText(name), std::string(32, 'a'));
  name[3] = 0;
  EXPECT_EQ(TimeZoneNameText(name), "aaa");
  name[1] = 0xDC00;  // unpaired low surrogate
  EXPECT_EQ(TimeZoneNameText(name), "a\xef\xbf\xbd" "a");
}

}  // namespace
