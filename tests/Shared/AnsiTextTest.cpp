#include "Shared/Orvel_Shared/AnsiText.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <tuple>
#include <utility>

#include "platform/TextEncoding.h"

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

struct CodePageCase {
  const char* name;
  unsigned codePage;
  std::string utf8;
  std::string bytes;
};

// A look-alike never stands in for a missing character ("ñ" is not "n" in
// Windows-1250, "é" not "e" in Windows-1251), and a code page that is not a
// single-byte one the system can convert is written as Windows-1252.
TEST(CodePageText, Utf8ToCodePageConvertsOrMarksEachCharacter) {
  const CodePageCase cases[] = {
      {"1252 as the table", 1252, "Caf\xC3\xA9 \xE2\x82\xAC \xC5\x81", "Caf\xE9 \x80 ?"},
      {"1250 letters", 1250, "\xC5\x81\xC3\xB3\x64\xC5\xBA \xC3\x9F \xE2\x82\xAC", "\xA3\xF3\x64\x9F \xDF \x80"},
      {"1250 lacks", 1250, "Espa\xC3\xB1\x61 \xC3\xBF \xD0\x9F", "Espa?a ? ?"},
      {"1251 letters", 1251, "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xE2\x84\x96 \xE2\x82\xAC",
       "\xCF\xF0\xE8\xE2\xE5\xF2 \xB9 \x88"},
      {"1251 lacks", 1251, "Jos\xC3\xA9 \xC5\x81", "Jos? ?"},
      {"outside every page", 1251, "\xE4\xB8\xAD\xF0\x9F\x98\x80!", "?" "?!"},
      {"lone continuation", 1251, "a\x80z", "a?z"},
      {"truncated sequence", 1250, "a\xC5", "a?"},
      {"overlong slash", 1251, "\xC0\xAF", "??"},
      {"surrogate half", 1250, "\xED\xA0\x80", "???"},
      {"nul kept", 1251, std::string("a\0b", 3), std::string("a\0b", 3)},
      {"double-byte 932", 932, "Caf\xC3\xA9 \xE6\x97\xA5", "Caf\xE9 ?"},
      {"double-byte 936", 936, "\xE2\x82\xAC \xE4\xB8\xAD", "\x80 ?"},
      {"utf-8 65001", 65001, "Caf\xC3\xA9", "Caf\xE9"},
      {"no such page", 9999, "Caf\xC3\xA9 \xC5\x81", "Caf\xE9 ?"},
  };
  for (const CodePageCase& c : cases) {
    EXPECT_EQ(Utf8ToCodePage(c.utf8, c.codePage), c.bytes) << c.name;
    std::string inPlace = c.utf8;
    Utf8ToCodePageInPlace(inPlace, c.codePage);
    EXPECT_EQ(inPlace, c.bytes) << c.name << " in place";
  }
}

TEST(CodePageText, OnlySingleByteCodePagesTheSystemConvertsAreUsed) {
  const std::pair<unsigned, unsigned> cases[] = {
      {1250, 1250}, {1251, 1251}, {1252, 1252}, {1253, 1253}, {874, 874},   {932, 1252},
      {936, 1252},  {949, 1252},  {950, 1252},  {65001, 1252}, {9999, 1252}, {0, 1252},
  };
  for (const auto& [codePage, used] : cases) EXPECT_EQ(UsableCodePage(codePage), used) << codePage;
}

TEST(CodePageText, CodePageToUtf8ReadsWhatWasWritten) {
  EXPECT_EQ(CodePageToUtf8("\xCF\xF0\xE8 \x88", 1251), "\xD0\x9F\xD1\x80\xD0\xB8 \xE2\x82\xAC");
  EXPECT_EQ(CodePageToUtf8("\xA3\xF3\x64\x9F", 1250), "\xC5\x81\xC3\xB3\x64\xC5\xBA");
  EXPECT_EQ(CodePageToUtf8("Caf\xE9 \x81", 932), AnsiToUtf8("Caf\xE9 \x81"));
  // Every byte a code page defines comes back as itself.
  for (const unsigned codePage : {1250u, 1251u, 1253u, 1257u}) {
    for (int b = 0; b < 256; ++b) {
      const std::string byte(1, static_cast<char>(b));
      const std::string utf8 = CodePageToUtf8(byte, codePage);
      if (utf8 == "\xEF\xBF\xBD") continue;
      EXPECT_EQ(Utf8ToCodePage(utf8, codePage), byte) << codePage << " byte " << b;
    }
  }
}

TEST(CodePageText, CodePageHoldsWhatUtf8ToCodePageKeeps) {
  const std::tuple<unsigned, char32_t, bool> cases[] = {
      {1250, U'Ł', true}, {1250, U'ñ', false}, {1250, U'?', true},  {1251, U'П', true},
      {1251, U'é', false}, {1251, U'\uFFFD', false}, {932, U'é', true}, {932, U'日', false},
  };
  for (const auto& [codePage, code, held] : cases) {
    EXPECT_EQ(CodePageHolds(code, codePage), held) << codePage << " " << static_cast<uint32_t>(code);
  }
}

TEST(CodePageText, SystemAnsiIsTheSystemsCodePageWhenItIsUsable) {
  const unsigned system = platform::SystemAnsiCodePage();
  // Set where the test runs under a locale whose code page is known.
  if (const char* expected = std::getenv("DC_EXPECTED_ANSI_CODE_PAGE")) {
    EXPECT_EQ(std::to_string(system), expected);
  }
  EXPECT_EQ(UsableCodePage(system), system) << "the platform names a code page that is not single-byte";
  EXPECT_EQ(AnsiCodePage(), system);
  const std::string text = "Jos\xC3\xA9 \xC5\x81\xC3\xB3\x64\xC5\xBA \xD0\x9F \xE2\x82\xAC \xE6\x97\xA5 a\x80";
  const std::string expected = Utf8ToCodePage(text, system);
  EXPECT_EQ(Utf8ToSystemAnsi(text), expected);
  std::string inPlace = text;
  Utf8ToSystemAnsiInPlace(inPlace);
  EXPECT_EQ(inPlace, expected);
  EXPECT_EQ(SystemAnsiToUtf8(expected), CodePageToUtf8(expected, system));
  EXPECT_EQ(SystemAnsiHolds(U'\u00E9'), CodePageHolds(U'\u00E9', system));
  EXPECT_EQ(CodePageName(system), "Windows-" + std::to_string(system));
}

}  // namespace
