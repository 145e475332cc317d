#include "support/SigningKey.h"

#include <cstdio>
#include <stdexcept>
#include <vector>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

struct SigningKey::Key {
  EVP_PKEY* pkey = nullptr;
  ~Key() { EVP_PKEY_free(pkey); }
};

namespace {

std::string Base64(const unsigned char* data, std::size_t size) {
  std::vector<unsigned char> text(4 * ((size + 2) / 3) + 1);
  const int length = EVP_EncodeBlock(text.data(), data, static_cast<int>(size));
  return std::string(reinterpret_cast<const char*>(text.data()), static_cast<std::size_t>(length));
}

}  // namespace

SigningKey::SigningKey() : FKey(std::make_unique<Key>()) {
  EVP_PKEY_CTX* context = EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr);
  const bool made = context != nullptr && EVP_PKEY_keygen_init(context) == 1 &&
                    EVP_PKEY_keygen(context, &FKey->pkey) == 1;
  EVP_PKEY_CTX_free(context);
  if (!made) throw std::runtime_error("Cannot make an Ed25519 key");
}

SigningKey::~SigningKey() = default;

std::string SigningKey::PublicKey() const {
  unsigned char raw[32];
  std::size_t size = sizeof raw;
  if (EVP_PKEY_get_raw_public_key(FKey->pkey, raw, &size) != 1) throw std::runtime_error("No public key");
  return Base64(raw, size);
}

std::string SigningKey::PublicKeyPem() const {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PUBKEY(bio, FKey->pkey);
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(size));
  BIO_free(bio);
  return pem;
}

std::string SigningKey::Sign(const std::string& bytes) const {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  unsigned char signature[64];
  std::size_t size = sizeof signature;
  const bool signedOk = context != nullptr &&
                        EVP_DigestSignInit(context, nullptr, nullptr, nullptr, FKey->pkey) == 1 &&
                        EVP_DigestSign(context, signature, &size,
                                       reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) == 1;
  EVP_MD_CTX_free(context);
  if (!signedOk) throw std::runtime_error("Cannot sign");
  return std::string(reinterpret_cast<const char*>(signature), size);
}

void SigningKey::WritePrivateKey(const std::string& path) const {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) throw std::runtime_error("Cannot write " + path);
  const bool written = PEM_write_PrivateKey(file, FKey->pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  std::fclose(file);
  if (!written) throw std::runtime_error("Cannot write " + path);
}
