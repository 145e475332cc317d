#include "model/Base64Encoder.h"

#include <string>

#include <gtest/gtest.h>

#include "Shared/Orvel_Shared/OrvelExceptions.h"

namespace {

std::span<const uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(Base64EncoderTest, StandardAlphabetWithPadding) {
  struct Case {
    std::string data;
    const char* text;
  };
  const Case cases[] = {
      {"", ""},           {"f", "Zg=="},         {"fo", "Zm8="},
      {"foo", "Zm9v"},    {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {std::string("\xfb\xff\xbf\x00", 4), "+/+/AA=="},  // the last two letters of the alphabet
  };
  const TBase64Encoder encoder;
  for (const Case& c : cases) {
    EXPECT_EQ(encoder.Encode(Bytes(c.data)), c.text);
    const auto back = encoder.Decode(c.text);
    EXPECT_EQ(std::string(back.begin(), back.end()), c.data) << c.text;
    EXPECT_EQ(TBase64Encoder::EncodedLength(c.data.size()), std::string(c.text).size());
  }
  std::string appended = "x";
  encoder.EncodeTo(Bytes("fo"), appended);
  EXPECT_EQ(appended, "xZm8=");
}

TEST(Base64EncoderTest, DecodeRefusesBrokenText) {
  const TBase64Encoder encoder;
  for (const char* text : {"Zg=", "Zg==Zg==", "Z===", "Zm9v\n", "Zm-v", "=Zm9", "Zg=a"}) {
    EXPECT_THROW(encoder.Decode(text), EConvertError) << text;
  }
}

}  // namespace
