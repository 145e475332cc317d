#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The site-database login. The program carries its user name and password
// enciphered and deciphers them at every connection attempt.
//
// Stored format of a credential: the text as UTF-16LE bytes, cut into 16-byte
// blocks; every complete block as it is, then always one final block with the
// 0 to 15 remaining bytes, zero-filled, its 16th byte holding their count;
// every block enciphered on its own with AES-256 (ECB) under the credential
// key; the result in standard Base64 ("=" padding, no line breaks).
//
// All functions are thread-safe.

using TCredentialKey = std::array<uint8_t, 32>;

// The site-database user name and password in clear. Raise EConvertError
// when a stored value is malformed (never for the values built in).
std::string DBUserName();
std::string DBPassword();

// The key derived from the program's pass phrase, computed once on first use
// and constant afterwards.
const TCredentialKey& CredentialKey();

// The key of a pass phrase: the first 32 bytes of the key digest of its
// UTF-16LE bytes after ASCII letters are lower-cased. Pass phrases that differ
// only in the case of their letters give the same key.
TCredentialKey DeriveCredentialKey(std::string_view passPhrase);

// The first size bytes (at most 256) of the key digest of data.
std::vector<uint8_t> CredentialKeyDigest(const uint8_t* data, size_t length, size_t size);

// Deciphers a stored credential (with CredentialKey() when no key is given)
// and returns it as UTF-8. Raises EConvertError "Invalid Base64 Character" for
// a character outside "+".."z", and "Invalid file format" for fewer than 16
// bytes of cipher data or a final block claiming more than 15 bytes.
std::string DecipherCredential(std::string_view stored);
std::string DecipherCredential(std::string_view stored, const TCredentialKey& key);

// The stored form of a UTF-8 text under key: the inverse of DecipherCredential.
// Used by the credential tool and the tests; the service only deciphers.
std::string EncipherCredential(std::string_view clear, const TCredentialKey& key);
