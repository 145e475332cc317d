#include "platform/TextEncoding.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

struct DecodeCase {
  const char* name;
  std::string text;
  std::vector<char32_t> codes;
  bool valid;
};

// Every code point of `text`, and whether all of it was well formed.
std::vector<char32_t> DecodeAll(const std::string& text, bool& valid) {
  std::vector<char32_t> codes;
  valid = true;
  for (std::size_t i = 0; i < text.size();) codes.push_back(platform::NextCodePoint(text, i, &valid));
  return codes;
}

TEST(TextEncodingTest, NextCodePointDecodesOrReplacesOneLeadByte) {
  const DecodeCase cases[] = {
      {"ascii", "Az", {U'A', U'z'}, true},
      {"two bytes", "\xC3\xA9", {0xE9}, true},
      {"three bytes", "\xE2\x82\xAC", {0x20AC}, true},
      {"four bytes", "\xF0\x9F\x98\x80", {0x1F600}, true},
      {"lone continuation", "\x80" "a", {0xFFFD, U'a'}, false},
      {"overlong", "\xC0\x80", {0xFFFD, 0xFFFD}, false},
      {"surrogate", "\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}, false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}, false},
      {"cut short", "\xE2\x82", {0xFFFD, 0xFFFD}, false},
      {"broken by ascii", "\xE2" "ab", {0xFFFD, U'a', U'b'}, false},
      {"invalid lead", "\xFF", {0xFFFD}, false},
  };
  for (const auto& c : cases) {
    bool valid = true;
    EXPECT_EQ(DecodeAll(c.text, valid), c.codes) << c.name;
    EXPECT_EQ(valid, c.valid) << c.name;
    EXPECT_EQ(platform::IsValidUtf8(c.text), c.valid) << c.name;
  }
}

TEST(TextEncodingTest, AppendUtf8RoundTripsThroughNextCodePoint) {
  for (const char32_t code : {0x0u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    std::string text;
    platform::AppendUtf8(text, code);
    std::size_t i = 0;
    bool valid = true;
    EXPECT_EQ(platform::NextCodePoint(text, i, &valid), code) << std::hex << static_cast<std::uint32_t>(code);
    EXPECT_TRUE(valid) << std::hex << static_cast<std::uint32_t>(code);
    EXPECT_EQ(i, text.size()) << std::hex << static_cast<std::uint32_t>(code);
  }
}

}  // namespace

// The system's converters: characters become UTF-8 and back, a byte the set
// rejects is one U+FFFD (the characters after it keep their places), a
// character the set cannot hold is "?", and an unknown set is no conversion.
TEST(TextEncodingTest, SystemConvertersDecodeReplaceAndRefuseUnknownSets) {
  struct Case {
    const char* name;
    std::string charset;
    std::string bytes;
    std::string utf8;
  };
  const Case cases[] = {
      {"Cyrillic", "CP1251", "\xCF\xF0\xE8\xE2\xE5\xF2", "Привет"},
      {"Shift JIS", "SHIFT_JIS", "\x93\xFA\x96\x7B", "日本"},
      {"lone lead byte in the middle", "SHIFT_JIS", "A\x93 B\x93\xFA", "A\xEF\xBF\xBD B日"},
      {"cut off at the end", "SHIFT_JIS", "\x93\xFA\x96", "日\xEF\xBF\xBD"},
      {"Latin-2", "ISO-8859-2", "\xA3\xF3\xE6", "Łóć"},
      {"empty", "CP1251", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::CharsetToUtf8(c.bytes, c.charset), c.utf8);
  }
  EXPECT_EQ(platform::Utf8ToCharset("Привет", "CP1251"), "\xCF\xF0\xE8\xE2\xE5\xF2");
  EXPECT_EQ(platform::Utf8ToCharset("Zoë 日本 Ł", "CP1251"), "Zo? ?? ?");
  EXPECT_EQ(platform::Utf8ToCharset("a\xFF" "b", "ISO-8859-2"), "a?b");
  EXPECT_EQ(platform::CharsetToUtf8("abc", "NO-SUCH-CHARSET"), std::nullopt);
  EXPECT_EQ(platform::Utf8ToCharset("abc", "NO-SUCH-CHARSET"), std::nullopt);
  // A long text crosses the converter's buffer.
  const std::string many(10000, '\xE9');
  std::string expected;
  for (int i = 0; i < 10000; ++i) expected += "é";
  EXPECT_EQ(platform::CharsetToUtf8(many, "ISO-8859-2"), expected);
}

TEST(TextEncodingTest, RepairUtf8ReplacesOnlyWhatIsMalformed) {
  EXPECT_EQ(platform::RepairUtf8("Zoë"), "Zoë");
  EXPECT_EQ(platform::RepairUtf8("Zo\xEB" "!"), "Zo\xEF\xBF\xBD!");
  EXPECT_EQ(platform::RepairUtf8("\xC3"), "\xEF\xBF\xBD");
  EXPECT_EQ(platform::RepairUtf8("\xE2\x82" "x"), "\xEF\xBF\xBD\xEF\xBF\xBDx");
}
