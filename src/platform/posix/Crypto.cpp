#include "platform/Crypto.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <memory>

namespace platform {
namespace {

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
struct CtxDeleter {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslDeleter {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};
struct CipherListDeleter {
  void operator()(STACK_OF(SSL_CIPHER) * list) const { sk_SSL_CIPHER_free(list); }
};

}  // namespace

std::vector<std::uint8_t> Aes256Ecb(const std::vector<std::uint8_t>& input, const Aes256Key& key, bool encipher) {
  if (input.size() % 16 != 0) throw CryptoError("AES input is not whole blocks");
  std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree> context(EVP_CIPHER_CTX_new());
  if (!context || EVP_CipherInit_ex(context.get(), EVP_aes_256_ecb(), nullptr, key.data(), nullptr,
                                    encipher ? 1 : 0) != 1) {
    throw CryptoError("Cannot initialise the AES cipher");
  }
  EVP_CIPHER_CTX_set_padding(context.get(), 0);
  std::vector<std::uint8_t> output(input.size() + 16);
  int written = 0;
  int final = 0;
  if (EVP_CipherUpdate(context.get(), output.data(), &written, input.data(), static_cast<int>(input.size())) != 1 ||
      EVP_CipherFinal_ex(context.get(), output.data() + written, &final) != 1) {
    throw CryptoError("AES cipher failed");
  }
  output.resize(static_cast<std::size_t>(written + final));
  return output;
}

Sha256Digest Sha256(const void* data, std::size_t size) {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1 || length != digest.size())
    throw CryptoError("SHA-256 failed");
  return digest;
}

bool Tls12ClientAvailable() {
  std::unique_ptr<SSL_CTX, CtxDeleter> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) return false;
  if (SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION) != 1) {
    return false;
  }
  std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(ctx.get()));
  if (!ssl) return false;
  std::unique_ptr<STACK_OF(SSL_CIPHER), CipherListDeleter> ciphers(SSL_get1_supported_ciphers(ssl.get()));
  return ciphers && sk_SSL_CIPHER_num(ciphers.get()) > 0;
}

}  // namespace platform
