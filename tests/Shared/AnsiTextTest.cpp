#include "Shared/Orvel_Shared/AnsiText.h"

#include <gtest/gtest.h>

namespace {

struct Case {
  const char* name;
  std::string utf8;
  std::string ansi;
};

TEST(AnsiText, Utf8ToAnsiConvertsOrMarksEachCharacter) {
  const Case cases[] = {
      {"ascii", "Cycle Complete", "Cycle Complete"},
      {"latin1 range", "Caf\xC3\xA9 \xC3\xBF", "Caf\xE9 \xFF"},
      {"euro and quotes", "\xE2\x82\xAC \xE2\x80\x9Cx\xE2\x80\x9D", "\x80 \x93x\x94"},
      {"not in code page", "\xE4\xB8\xAD\xF0\x9F\x98\x80!", "?" "?!"},
      {"lone continuation", "a\x80z", "a?z"},
      {"truncated sequence", "a\xE2\x82", "a??"},
      {"overlong slash", "\xC0\xAF", "??"},
      {"surrogate half", "\xED\xA0\x80", "???"},
      {"nul kept", std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToAnsi(c.utf8), c.ansi) << c.name;
    std::string inPlace = c.utf8;
    Utf8ToAnsiInPlace(inPlace);
    EXPECT_EQ(inPlace, c.ansi) << c.name << " in place";
  }
}

TEST(AnsiText, InPlaceConversionOfALongMixedText) {
  // ASCII runs between multi-byte and malformed sequences, so that the write
  // position falls behind the read position by varying amounts.
  std::string utf8;
  for (int i = 0; i < 2000; ++i) {
    utf8 += "Jos\xC3\xA9 M\xC3\xBCller \xE2\x82\xAC";
    utf8 += std::to_string(i);
    if (i % 7 == 0) utf8 += "\xE4\xB8\xAD\x80";
  }
  const std::string expected = Utf8ToAnsi(utf8);
  Utf8ToAnsiInPlace(utf8);
  EXPECT_EQ(utf8, expected);
}

TEST(AnsiText, EveryByteRoundTrips) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(all)), all);
  EXPECT_EQ(AnsiToUtf8("\x80"), "\xE2\x82\xAC");
  EXPECT_EQ(AnsiToUtf8("\x81"), "\xC2\x81");
}

TEST(AnsiText, AnsiHoldsWhatUtf8ToAnsiKeeps) {
  for (const char32_t code : {U'a', U'?', U'\0', U'é', U'ÿ', U'€', U'™', U'\u0081'}) {
    EXPECT_TRUE(AnsiHolds(code)) << static_cast<uint32_t>(code);
  }
  for (const char32_t code : {U'Ł', U'日', U'\u0080', U'\U0001F600', U'\uFFFD'}) {
    EXPECT_FALSE(AnsiHolds(code)) << static_cast<uint32_t>(code);
  }
}

}  // namespace
