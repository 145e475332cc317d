#include "firebird/SiteText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Each character set Firebird may declare for a column reads as its own
// characters; bytes that are not valid in the set become U+FFFD, one each.
TEST(SiteText, ReadsEachCharacterSetAsItsCharacters) {
  struct Case {
    const char* name;
    unsigned charset;
    std::string bytes;
    std::string utf8;
  };
  const Case cases[] = {
      {"NONE is Windows-1252", SiteCharset::kNone, "Zo\xEB Zimmer \x80 \x9C", "Zoë Zimmer € œ"},
      {"WIN1252", SiteCharset::kWin1252, "Caf\xE9 staff", "Café staff"},
      {"WIN1252 undefined byte keeps its number", SiteCharset::kWin1252, "\x81", "\xC2\x81"},
      {"OCTETS byte for byte", SiteCharset::kOctets, "\xC3\xA9", "Ã©"},
      {"UTF8", SiteCharset::kUtf8, "Gar\xC3\xA7\xC3\xAD" "a \xE2\x82\xAC", "Garçía €"},
      {"UTF8 invalid bytes", SiteCharset::kUtf8, "Zo\xEB Z\xC3", "Zo\xEF\xBF\xBD Z\xEF\xBF\xBD"},
      {"UNICODE_FSS", SiteCharset::kUnicodeFss, "AUD\xC3\x89" "1", "AUDÉ1"},
      {"ISO8859_1 has no euro", SiteCharset::kIso8859_1, "\x80\xE9", "\xC2\x80\xC3\xA9"},
      {"WIN1251 through the system", SiteCharset::kWin1251, "\xCA\xE0\xF4\xE5", "Кафе"},
      {"WIN1250", 51, "\xA3\xF3\xE6", "Łóć"},
      {"SJIS_0208 broken", 5, "\x93\xFA\x93", "日\xEF\xBF\xBD"},
      {"a set Firebird does not define", 250, "ab\xE9", "ab\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SiteTextToUtf8(c.bytes, c.charset), c.utf8);
  }
}

// Writing is the reverse; a character the set cannot hold becomes "?".
TEST(SiteText, WritesEachCharacterSetOrMarksWhatItCannotHold) {
  struct Case {
    const char* name;
    unsigned charset;
    std::string utf8;
    std::string bytes;
  };
  const Case cases[] = {
      {"NONE", SiteCharset::kNone, "Zoë € Ł", "Zo\xEB \x80 ?"},
      {"WIN1252", SiteCharset::kWin1252, "AUDÉ1", "AUD\xC9" "1"},
      {"UTF8 as it is", SiteCharset::kUtf8, "Zoë Ł 日", "Zoë Ł 日"},
      {"UTF8 repaired", SiteCharset::kUtf8, "Zo\xEB", "Zo\xEF\xBF\xBD"},
      {"ISO8859_1", SiteCharset::kIso8859_1, "é€", "\xE9?"},
      {"WIN1251", SiteCharset::kWin1251, "Кафе é", "\xCA\xE0\xF4\xE5 ?"},
      {"a set Firebird does not define", 250, "abé", "ab?"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Utf8ToSiteText(c.utf8, c.charset), c.bytes);
  }
  EXPECT_EQ(SiteCharsetName(SiteCharset::kWin1252), "WIN1252");
  EXPECT_EQ(SiteCharsetName(250), "");
}

}  // namespace
