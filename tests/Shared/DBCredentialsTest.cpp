#include "Shared/Orvel_Shared/DBCredentials.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "Shared/Orvel_Shared/OrvelExceptions.h"

namespace {

std::vector<uint8_t> Base64Bytes(const std::string& text) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<uint8_t> bytes;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    bits = bits << 6 | static_cast<uint32_t>(kAlphabet.find(c));
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes.push_back(static_cast<uint8_t>(bits >> count));
    }
  }
  return bytes;
}

std::string ExpectConvertError(const std::string& stored) {
  try {
    DecipherCredential(stored);
  } catch (const EConvertError& error) {
    return error.what();
  }
  return "no error";
}

TEST(DBCredentials, DigestStartsFromTheFractionOfPi) {
  // An empty input leaves the buffer as it starts; only the final mix and the
  // encipherment change it. A one-byte input differs from it in every block.
  const std::vector<uint8_t> empty = CredentialKeyDigest(nullptr, 0, 256);
  const uint8_t one = 0;
  const std::vector<uint8_t> zero = CredentialKeyDigest(&one, 1, 256);
  ASSERT_EQ(empty.size(), 256u);
  for (size_t block = 0; block < 256; block += 16) {
    EXPECT_NE(std::vector<uint8_t>(empty.begin() + block, empty.begin() + block + 16),
              std::vector<uint8_t>(zero.begin() + block, zero.begin() + block + 16))
        << "block at " << block;
  }
  EXPECT_EQ(CredentialKeyDigest(nullptr, 0, 32), std::vector<uint8_t>(empty.begin(), empty.begin() + 32));
  EXPECT_EQ(CredentialKeyDigest(nullptr, 0, 1000).size(), 256u);
}

TEST(DBCredentials, KeyIgnoresTheCaseOfThePassPhrase) {
  const std::string phrase = "Sudsy-Tunnel$Ledger#7qWash!Counter@Dawn2Dusk9X";
  std::string upper = phrase;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(DeriveCredentialKey(phrase), DeriveCredentialKey(upper));
  EXPECT_EQ(DeriveCredentialKey(phrase), CredentialKey());
  EXPECT_NE(DeriveCredentialKey(phrase), DeriveCredentialKey(phrase.substr(1)));
}

TEST(DBCredentials, EncipheredValuesDecipherToTheSameText) {
  struct Case {
    std::string clear;
    size_t storedLength;
  };
  const Case cases[] = {
      {"", 24},                      // one final block with count 0
      {"ABCDEFG", 24},               // 14 bytes: still one block
      {"8chars!!", 44},              // 16 bytes: a full block and a final block
      {"Wx7-rinse-Dry42", 44},       // 30 bytes
      {std::string(100, 'q'), 280},  // 200 bytes: 12 full blocks and a final one of 8
      {"Ren\xC3\xA9" "e \xE2\x82\xAC", 24},  // non-ASCII text goes as UTF-16
  };
  const TCredentialKey other = DeriveCredentialKey("another pass phrase of no particular length");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.clear);
    const std::string stored = EncipherCredential(c.clear, CredentialKey());
    EXPECT_EQ(stored.size(), c.storedLength);
    EXPECT_EQ(DecipherCredential(stored), c.clear);
    EXPECT_EQ(DecipherCredential(EncipherCredential(c.clear, other), other), c.clear);
  }
}

TEST(DBCredentials, EveryBlockIsEncipheredOnItsOwn) {
  // 8 characters are 16 bytes: one full block, then a final block of zeros
  // with count 0, which is exactly the only block of the empty credential.
  const std::vector<uint8_t> eight = Base64Bytes(EncipherCredential("8chars!!", CredentialKey()));
  const std::vector<uint8_t> empty = Base64Bytes(EncipherCredential("", CredentialKey()));
  ASSERT_EQ(eight.size(), 32u);
  ASSERT_EQ(empty.size(), 16u);
  EXPECT_EQ(std::vector<uint8_t>(eight.begin() + 16, eight.end()), empty);
}

TEST(DBCredentials, MalformedStoredValuesRaise) {
  const std::string good = EncipherCredential("DCUSER", CredentialKey());
  struct Case {
    std::string stored;
    const char* message;
  };
  const Case cases[] = {
      {good.substr(0, 10) + " " + good.substr(11), "Invalid Base64 Character"},
      {" " + good.substr(1), "Invalid Base64 Character"},
      {good.substr(0, 20) + "\xC3\xA9" + good.substr(22), "Invalid Base64 Character"},
      {good.substr(0, 23) + "~", "Invalid Base64 Character"},
      {"", "Invalid file format"},
      {"QUJDRA==", "Invalid file format"},  // 4 bytes
      {EncipherCredential("x", CredentialKey()).substr(0, 20), "Invalid file format"},  // 15 bytes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    EXPECT_EQ(ExpectConvertError(c.stored), c.message);
  }
  // The first block alone, read as a final block, claims 0x20 bytes: the high
  // byte of U+20AC, the eighth character.
  const std::string firstBlock =
      EncipherCredential("1234567\xE2\x82\xAC and more", CredentialKey()).substr(0, 22) + "==";
  EXPECT_EQ(ExpectConvertError(firstBlock), "Invalid file format");
}

TEST(DBCredentials, BuiltInLoginMatchesTheTestServerScript) {
  EXPECT_EQ(DBUserName(), "DCUSER");
  const std::string password = DBPassword();
  EXPECT_GE(password.size(), 8u);
  EXPECT_LE(password.size(), 15u);

  // The source tree holds this file under tests/Shared.
  const std::filesystem::path root = std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
  std::ifstream script(root / "scripts" / "firebird-server.sh");
  ASSERT_TRUE(script.good()) << root;
  std::stringstream text;
  text << script.rdbuf();
  std::smatch match;
  const std::string content = text.str();
  ASSERT_TRUE(std::regex_search(content, match, std::regex("DC_DB_USER=(\\S+)")));
  EXPECT_EQ(match[1].str(), DBUserName());
  ASSERT_TRUE(std::regex_search(content, match, std::regex("DC_DB_PASSWORD=(\\S+)")));
  EXPECT_EQ(match[1].str(), password);
}

}  // namespace
