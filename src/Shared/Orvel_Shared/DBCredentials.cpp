#include "Shared/Orvel_Shared/DBCredentials.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "platform/Crypto.h"
#include "platform/TextEncoding.h"

namespace {

// Changed with tools/credential-cipher (see README.md); the three values
// belong together.
constexpr std::string_view kPassPhrase = "Sudsy-Tunnel$Ledger#7qWash!Counter@Dawn2Dusk9X";
constexpr std::string_view kStoredUserName = "Lf8CoNuRwa9sQgE9Ikmz/Q==";
constexpr std::string_view kStoredPassword = "FUNy2iygXJczD2f06OPpV+Zk2eI72aNWDe5PXeUidQY=";

// The first 256 bytes of the fractional part of pi in binary.
constexpr uint8_t kPiBytes[256] = {
    0x24, 0x3F, 0x6A, 0x88, 0x85, 0xA3, 0x08, 0xD3, 0x13, 0x19, 0x8A, 0x2E, 0x03, 0x70, 0x73, 0x44,
    0xA4, 0x09, 0x38, 0x22, 0x29, 0x9F, 0x31, 0xD0, 0x08, 0x2E, 0xFA, 0x98, 0xEC, 0x4E, 0x6C, 0x89,
    0x45, 0x28, 0x21, 0xE6, 0x38, 0xD0, 0x13, 0x77, 0xBE, 0x54, 0x66, 0xCF, 0x34, 0xE9, 0x0C, 0x6C,
    0xC0, 0xAC, 0x29, 0xB7, 0xC9, 0x7C, 0x50, 0xDD, 0x3F, 0x84, 0xD5, 0xB5, 0xB5, 0x47, 0x09, 0x17,
    0x92, 0x16, 0xD5, 0xD9, 0x89, 0x79, 0xFB, 0x1B, 0xD1, 0x31, 0x0B, 0xA6, 0x98, 0xDF, 0xB5, 0xAC,
    0x2F, 0xFD, 0x72, 0xDB, 0xD0, 0x1A, 0xDF, 0xB7, 0xB8, 0xE1, 0xAF, 0xED, 0x6A, 0x26, 0x7E, 0x96,
    0xBA, 0x7C, 0x90, 0x45, 0xF1, 0x2C, 0x7F, 0x99, 0x24, 0xA1, 0x99, 0x47, 0xB3, 0x91, 0x6C, 0xF7,
    0x08, 0x01, 0xF2, 0xE2, 0x85, 0x8E, 0xFC, 0x16, 0x63, 0x69, 0x20, 0xD8, 0x71, 0x57, 0x4E, 0x69,
    0xA4, 0x58, 0xFE, 0xA3, 0xF4, 0x93, 0x3D, 0x7E, 0x0D, 0x95, 0x74, 0x8F, 0x72, 0x8E, 0xB6, 0x58,
    0x71, 0x8B, 0xCD, 0x58, 0x82, 0x15, 0x4A, 0xEE, 0x7B, 0x54, 0xA4, 0x1D, 0xC2, 0x5A, 0x59, 0xB5,
    0x9C, 0x30, 0xD5, 0x39, 0x2A, 0xF2, 0x60, 0x13, 0xC5, 0xD1, 0xB0, 0x23, 0x28, 0x60, 0x85, 0xF0,
    0xCA, 0x41, 0x79, 0x18, 0xB8, 0xDB, 0x38, 0xEF, 0x8E, 0x79, 0xDC, 0xB0, 0x60, 0x3A, 0x18, 0x0E,
    0x6C, 0x9E, 0x0E, 0x8B, 0xB0, 0x1E, 0x8A, 0x3E, 0xD7, 0x15, 0x77, 0xC1, 0xBD, 0x31, 0x4B, 0x27,
    0x78, 0xAF, 0x2F, 0xDA, 0x55, 0x60, 0x5C, 0x60, 0xE6, 0x55, 0x25, 0xF3, 0xAA, 0x55, 0xAB, 0x94,
    0x57, 0x48, 0x98, 0x62, 0x63, 0xE8, 0x14, 0x40, 0x55, 0xCA, 0x39, 0x6A, 0x2A, 0xAB, 0x10, 0xB6,
    0xB4, 0xCC, 0x5C, 0x34, 0x11, 0x41, 0xE8, 0xCE, 0xA1, 0x54, 0x86, 0xAF, 0x7C, 0x72, 0xE9, 0x93,
};

struct TWords {
  uint32_t A, B, C, D;
};

void MixWords(TWords& w) {
  w.A += w.D; w.D += w.A; w.A ^= w.A >> 7;
  w.B += w.A; w.A += w.B; w.B ^= w.B << 13;
  w.C += w.B; w.B += w.C; w.C ^= w.C >> 17;
  w.D += w.C; w.C += w.D; w.D ^= w.D << 9;
  w.A += w.D; w.D += w.A; w.A ^= w.A >> 3;
  w.B += w.A; w.A += w.B; w.B ^= w.B << 7;
  w.C += w.B; w.B += w.C; w.C ^= w.D >> 15;  // D, not C: part of the digest's definition
  w.D += w.C; w.C += w.D; w.D ^= w.D << 11;
}

uint32_t LoadLE(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void StoreLE(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// The block cipher of the digest: 128-bit blocks, a 128-bit key, 4 to 16 rounds.
class TDigestCipher {
 public:
  TDigestCipher(const uint32_t key[4], int rounds) : FRounds(std::clamp(rounds, 4, 16)) {
    static const uint32_t kSalts[4] = {0x55555555u, 0xAAAAAAAAu, 0x33333333u, 0xCCCCCCCCu};
    for (int group = 0; group < 4; ++group) {
      const uint32_t s = kSalts[group];
      uint32_t a = key[0], b = s, c = key[1], d = s, e = key[2], f = s, g = key[3], h = s;
      for (int i = 0; i < 8; ++i) {
        a ^= b << 11; d += a; b += c;
        b ^= c >> 2;  e += b; c += d;
        c ^= d << 8;  f += c; d += e;
        d ^= e >> 16; g += d; e += f;
        e ^= f << 10; h += e; f += g;
        f ^= g >> 4;  a += f; g += h;
        g ^= h << 8;  b += g; h += a;
        h ^= a >> 9;  c += h; a += b;
      }
      const uint32_t words[8] = {a, b, c, d, e, f, g, h};
      std::copy(std::begin(words), std::end(words), FSubkeys + group * 8);
    }
  }

  void EncipherBlock(uint8_t* block) const {
    uint32_t r0 = LoadLE(block), r1 = LoadLE(block + 4);
    uint32_t l0 = LoadLE(block + 8), l1 = LoadLE(block + 12);
    for (int round = 0; round < FRounds; ++round) {
      TWords w{r0, FSubkeys[2 * round], r1, FSubkeys[2 * round + 1]};
      MixWords(w);
      w = TWords{w.C, w.D, w.A, w.B};
      MixWords(w);
      const uint32_t newR0 = w.A ^ w.B ^ l0;
      const uint32_t newR1 = w.C ^ w.D ^ l1;
      l0 = r0;
      l1 = r1;
      r0 = newR0;
      r1 = newR1;
    }
    StoreLE(block, l0);
    StoreLE(block + 4, l1);
    StoreLE(block + 8, r0);
    StoreLE(block + 12, r1);
  }

 private:
  int FRounds;
  uint32_t FSubkeys[32];
};

class TKeyDigest {
 public:
  TKeyDigest() {
    std::memcpy(FBuffer, kPiBytes, sizeof FBuffer);
    for (uint32_t& k : FKey) k = 0x55555555u;
  }

  void Update(const uint8_t* data, size_t length) {
    for (size_t n = 0; n < length; ++n) {
      const uint8_t x = data[n];
      FBuffer[FIndex] ^= x;
      FIndex = static_cast<uint8_t>(FIndex + 1);
      uint8_t keyBytes[16];
      for (int i = 0; i < 4; ++i) StoreLE(keyBytes + 4 * i, FKey[i]);
      keyBytes[FKeyIndex] ^= x;
      for (int i = 0; i < 4; ++i) FKey[i] = LoadLE(keyBytes + 4 * i);
      if (++FKeyIndex == 8) {
        TWords w{FKey[3], FKey[2], FKey[1], FKey[0]};
        for (int i = 0; i < 4; ++i) MixWords(w);
        FKey[0] = w.A;
        FKey[1] = w.B;
        FKey[2] = w.C;
        FKey[3] = w.D;
        FKeyIndex = 0;
      }
    }
  }

  std::vector<uint8_t> Finish(size_t size) {
    static const uint8_t kPadding[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    Update(kPadding, 8 - FKeyIndex);
    const TDigestCipher cipher(FKey, 8);
    for (size_t block = 0; block < sizeof FBuffer; block += 16) cipher.EncipherBlock(FBuffer + block);
    return std::vector<uint8_t>(FBuffer, FBuffer + std::min(size, sizeof FBuffer));
  }

 private:
  uint8_t FBuffer[256];
  uint8_t FIndex = 0;
  uint32_t FKey[4];
  unsigned FKeyIndex = 0;
};

std::vector<uint8_t> Utf8ToUtf16LE(std::string_view text) {
  std::vector<uint8_t> bytes;
  auto put = [&](uint32_t unit) {
    bytes.push_back(static_cast<uint8_t>(unit));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  };
  for (size_t i = 0; i < text.size();) {
    const auto c = static_cast<uint8_t>(text[i]);
    uint32_t cp = c;
    size_t extra = 0;
    if (c >= 0xF0) { cp = c & 0x07; extra = 3; }
    else if (c >= 0xE0) { cp = c & 0x0F; extra = 2; }
    else if (c >= 0xC0) { cp = c & 0x1F; extra = 1; }
    if (extra > 0 && i + extra >= text.size()) throw EConvertError("Invalid UTF-8 text");
    for (size_t k = 1; k <= extra; ++k) cp = (cp << 6) | (static_cast<uint8_t>(text[i + k]) & 0x3F);
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return bytes;
}

std::string Utf16LEToUtf8(const std::vector<uint8_t>& bytes) {
  std::string text;
  const size_t units = bytes.size() / 2;
  for (size_t i = 0; i < units; ++i) {
    uint32_t cp = bytes[2 * i] | uint32_t{bytes[2 * i + 1]} << 8;
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units) {
      const uint32_t low = bytes[2 * i + 2] | uint32_t{bytes[2 * i + 3]} << 8;
      if (low >= 0xDC00 && low < 0xE000) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    // An unpaired surrogate is kept as its own three bytes, so the text
    // converts back to the same units.
    platform::AppendUtf8(text, cp);
  }
  return text;
}

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

uint32_t Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<uint32_t>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<uint32_t>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<uint32_t>(c - '0' + 52);
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;  // "=" and the other characters of the accepted range carry no bits
}

std::vector<uint8_t> Base64Decode(std::string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i + 4 <= text.size(); i += 4) {
    const std::string_view group = text.substr(i, 4);
    for (char c : group) {
      if (c < '+' || c > 'z') throw EConvertError("Invalid Base64 Character");
    }
    const uint32_t v = Base64Value(group[0]) << 18 | Base64Value(group[1]) << 12 |
                       Base64Value(group[2]) << 6 | Base64Value(group[3]);
    bytes.push_back(static_cast<uint8_t>(v >> 16));
    if (group[2] == '=') continue;
    bytes.push_back(static_cast<uint8_t>(v >> 8));
    if (group[3] == '=') continue;
    bytes.push_back(static_cast<uint8_t>(v));
  }
  return bytes;
}

std::string Base64Encode(const std::vector<uint8_t>& bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t v = uint32_t{bytes[i]} << 16;
    if (n > 1) v |= uint32_t{bytes[i + 1]} << 8;
    if (n > 2) v |= bytes[i + 2];
    text += kBase64Alphabet[(v >> 18) & 63];
    text += kBase64Alphabet[(v >> 12) & 63];
    text += n > 1 ? kBase64Alphabet[(v >> 6) & 63] : '=';
    text += n > 2 ? kBase64Alphabet[v & 63] : '=';
  }
  return text;
}

// AES-256 in ECB mode over whole blocks, without padding.
std::vector<uint8_t> Aes256Ecb(const std::vector<uint8_t>& input, const TCredentialKey& key,
                               bool encipher) {
  try {
    return platform::Aes256Ecb(input, key, encipher);
  } catch (const platform::CryptoError& e) {
    throw EConvertError(e.what());
  }
}

}  // namespace

std::vector<uint8_t> CredentialKeyDigest(const uint8_t* data, size_t length, size_t size) {
  TKeyDigest digest;
  digest.Update(data, length);
  return digest.Finish(size);
}

TCredentialKey DeriveCredentialKey(std::string_view passPhrase) {
  std::string lowered(passPhrase);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  const std::vector<uint8_t> bytes = Utf8ToUtf16LE(lowered);
  const std::vector<uint8_t> digest = CredentialKeyDigest(bytes.data(), bytes.size(), 32);
  TCredentialKey key;
  std::copy(digest.begin(), digest.end(), key.begin());
  return key;
}

const TCredentialKey& CredentialKey() {
  static const TCredentialKey key = DeriveCredentialKey(kPassPhrase);
  return key;
}

std::string DecipherCredential(std::string_view stored, const TCredentialKey& key) {
  std::vector<uint8_t> cipher = Base64Decode(stored);
  const size_t blocks = cipher.size() / 16;
  if (blocks == 0) throw EConvertError("Invalid file format");
  cipher.resize(blocks * 16);  // bytes after the last whole block carry nothing
  std::vector<uint8_t> plain = Aes256Ecb(cipher, key, false);
  const uint8_t remaining = plain.back();
  if (remaining > 15) throw EConvertError("Invalid file format");
  plain.resize((blocks - 1) * 16 + remaining);
  return Utf16LEToUtf8(plain);
}

std::string DecipherCredential(std::string_view stored) {
  return DecipherCredential(stored, CredentialKey());
}

std::string EncipherCredential(std::string_view clear, const TCredentialKey& key) {
  std::vector<uint8_t> plain = Utf8ToUtf16LE(clear);
  const size_t remaining = plain.size() % 16;
  plain.resize(plain.size() - remaining + 16, 0);
  plain.back() = static_cast<uint8_t>(remaining);
  return Base64Encode(Aes256Ecb(plain, key, true));
}

std::string DBUserName() { return DecipherCredential(kStoredUserName); }

std::string DBPassword() { return DecipherCredential(kStoredPassword); }
