#include "platform/Crypto.h"

#include "platform/win32/Win32Text.h"

#include <bcrypt.h>

namespace platform {
namespace {

bool Failed(NTSTATUS status) { return status < 0; }

using Algorithm = win32::Owned<BCRYPT_ALG_HANDLE, [](BCRYPT_ALG_HANDLE handle) {
  BCryptCloseAlgorithmProvider(handle, 0);
}>;
using Key = win32::Owned<BCRYPT_KEY_HANDLE, BCryptDestroyKey>;

// The provider of `name`; an empty one when the system has none.
void OpenAlgorithm(Algorithm& algorithm, const wchar_t* name) {
  if (Failed(BCryptOpenAlgorithmProvider(algorithm.Out(), name, nullptr, 0))) *algorithm.Out() = nullptr;
}

DWORD RegistryDword(const wchar_t* key, const wchar_t* name, DWORD fallback) {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
    return fallback;
  return value;
}

}  // namespace

std::vector<std::uint8_t> Aes256Ecb(const std::vector<std::uint8_t>& input, const Aes256Key& key, bool encipher) {
  if (input.size() % 16 != 0) throw CryptoError("AES input is not whole blocks");
  Algorithm aes;
  OpenAlgorithm(aes, BCRYPT_AES_ALGORITHM);
  if (aes.Get() == nullptr) throw CryptoError("Cannot initialise the AES cipher");
  static const wchar_t kEcb[] = BCRYPT_CHAIN_MODE_ECB;
  Key handle;
  if (Failed(BCryptSetProperty(aes.Get(), BCRYPT_CHAINING_MODE, reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(kEcb)),
                               sizeof kEcb, 0)) ||
      Failed(BCryptGenerateSymmetricKey(aes.Get(), handle.Out(), nullptr, 0, const_cast<PUCHAR>(key.data()),
                                        static_cast<ULONG>(key.size()), 0)))
    throw CryptoError("Cannot initialise the AES cipher");
  std::vector<std::uint8_t> output(input.size());
  if (input.empty()) return output;
  ULONG written = 0;
  auto* in = const_cast<PUCHAR>(input.data());
  const ULONG size = static_cast<ULONG>(input.size());
  const NTSTATUS status =
      encipher ? BCryptEncrypt(handle.Get(), in, size, nullptr, nullptr, 0, output.data(), size, &written, 0)
               : BCryptDecrypt(handle.Get(), in, size, nullptr, nullptr, 0, output.data(), size, &written, 0);
  if (Failed(status)) throw CryptoError("AES cipher failed");
  output.resize(written);
  return output;
}

Sha256Digest Sha256(const void* data, std::size_t size) {
  Algorithm sha;
  OpenAlgorithm(sha, BCRYPT_SHA256_ALGORITHM);
  if (sha.Get() == nullptr) throw CryptoError("Cannot initialise SHA-256");
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (Failed(BCryptCreateHash(sha.Get(), &hash, nullptr, 0, nullptr, 0, 0)))
    throw CryptoError("Cannot initialise SHA-256");
  Sha256Digest digest{};
  const auto* bytes = static_cast<const unsigned char*>(data);
  bool ok = true;
  // BCrypt takes at most 4 GiB per call.
  while (ok && size > 0) {
    const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(size, 0x40000000));
    ok = !Failed(BCryptHashData(hash, const_cast<PUCHAR>(bytes), chunk, 0));
    bytes += chunk;
    size -= chunk;
  }
  ok = ok && !Failed(BCryptFinishHash(hash, digest.data(), static_cast<ULONG>(digest.size()), 0));
  BCryptDestroyHash(hash);
  if (!ok) throw CryptoError("SHA-256 failed");
  return digest;
}

bool Tls12ClientAvailable() {
  // Schannel offers TLS 1.2 from Windows 8.1 on unless an administrator has
  // switched it off for clients.
  const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Control\\SecurityProviders\\SCHANNEL\\Protocols\\TLS 1.2\\Client";
  return RegistryDword(key, L"Enabled", 1) != 0 && RegistryDword(key, L"DisabledByDefault", 0) == 0;
}

}  // namespace platform
