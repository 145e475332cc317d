#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

// The system's cryptography: OpenSSL on POSIX, BCrypt and Schannel on
// Windows. Thread-safe.

namespace platform {

// A cipher or digest the system refuses to provide or run.
class CryptoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Aes256Key = std::array<std::uint8_t, 32>;
using Sha256Digest = std::array<std::uint8_t, 32>;

// AES-256 in ECB mode over whole 16-byte blocks, without padding. Raises
// CryptoError (also for input that is not whole blocks).
std::vector<std::uint8_t> Aes256Ecb(const std::vector<std::uint8_t>& input, const Aes256Key& key, bool encipher);

// The SHA-256 digest of the bytes. Raises CryptoError.
Sha256Digest Sha256(const void* data, std::size_t size);

// Whether the system's TLS layer can make TLS 1.2 client connections with at
// least one cipher under the system's settings (POSIX: OpenSSL; Windows:
// Schannel, where TLS 1.2 is not switched off). Never raises.
bool Tls12ClientAvailable();

}  // namespace platform
