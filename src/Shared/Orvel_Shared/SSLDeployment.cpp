#include "Shared/Orvel_Shared/SSLDeployment.h"

#include <openssl/ssl.h>

#include <memory>

namespace {
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

bool CreateSSLDLLs() {
  std::unique_ptr<SSL_CTX, CtxDeleter> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx) return false;
  if (SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx.get(), TLS1_2_VERSION) != 1) {
    return false;
  }
  std::unique_ptr<SSL, SslDeleter> ssl(SSL_new(ctx.get()));
  if (!ssl) return false;
  // The ciphers a TLS 1.2 handshake could offer after the system's policy
  // (cipher string, security level) has been applied.
  std::unique_ptr<STACK_OF(SSL_CIPHER), CipherListDeleter> ciphers(SSL_get1_supported_ciphers(ssl.get()));
  return ciphers && sk_SSL_CIPHER_num(ciphers.get()) > 0;
}
