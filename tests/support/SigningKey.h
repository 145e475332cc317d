#pragma once

#include <memory>
#include <string>

// A fresh Ed25519 key pair for signing test updaters, in the forms the
// collector and tools/sign-updater use. Raises std::runtime_error when the
// key cannot be made.
class SigningKey {
 public:
  SigningKey();
  ~SigningKey();
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  // The "UpdatePublicKey" value: base64 of the public key's 32 bytes.
  std::string PublicKey() const;
  // The public key as PEM text (the DER SubjectPublicKeyInfo form).
  std::string PublicKeyPem() const;
  // The detached signature of bytes: 64 raw bytes.
  std::string Sign(const std::string& bytes) const;
  // Writes the private key as PEM to path (what the signing tool reads).
  void WritePrivateKey(const std::string& path) const;

 private:
  struct Key;
  std::unique_ptr<Key> FKey;
};
