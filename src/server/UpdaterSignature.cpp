// The updater's signature check on OpenSSL's Ed25519.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/AsciiText.h"
#include "platform/Files.h"
#include "server/UpdaterDownload.h"

namespace {

struct PKeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyDeleter>;

// The bytes of base64 text (blanks and line breaks ignored, PEM "-----" lines
// left out); nothing when it is not base64.
std::optional<std::vector<unsigned char>> DecodeBase64(const std::string& text) {
  std::string clean;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = platform::TrimText(text.substr(start, end - start));
    if (line.rfind("-----", 0) != 0)
      for (char c : line)
        if (c != ' ' && c != '\t') clean += c;
    start = end + 1;
  }
  if (clean.empty() || clean.size() % 4 != 0) return std::nullopt;
  std::vector<unsigned char> bytes(clean.size() / 4 * 3);
  const int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                                     static_cast<int>(clean.size()));
  if (length < 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && clean[clean.size() - 1 - padding] == '=') ++padding;
  bytes.resize(static_cast<std::size_t>(length) - padding);
  return bytes;
}

// One trusted key: base64 of the raw 32 bytes, or of the DER form.
PKey ReadPublicKey(const std::string& entry) {
  const std::optional<std::vector<unsigned char>> bytes = DecodeBase64(entry);
  PKey key;
  if (bytes && bytes->size() == 32) {
    key.reset(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes->data(), bytes->size()));
  } else if (bytes) {
    const unsigned char* next = bytes->data();
    key.reset(d2i_PUBKEY(nullptr, &next, static_cast<long>(bytes->size())));
    if (key && EVP_PKEY_get_id(key.get()) != EVP_PKEY_ED25519) key.reset();
  }
  if (!key) {
    ERR_clear_error();
    throw EUpdaterRefused(TUpdaterRefusal::BadPublicKey,
                          "Update refused: the trusted public key \"" + entry +
                              "\" is not an Ed25519 public key (base64 of its 32 bytes, or PEM)");
  }
  return key;
}

std::vector<std::string> SplitEntries(const std::string& list) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(';', start);
    if (end == std::string::npos) end = list.size();
    const std::string entry = platform::TrimText(list.substr(start, end - start));
    if (!entry.empty()) entries.push_back(entry);
    start = end + 1;
  }
  return entries;
}

}  // namespace

bool UpdaterSignatureValid(const std::string& fileName, const std::string& signature,
                           const std::string& publicKeys) {
  std::vector<PKey> keys;
  for (const std::string& entry : SplitEntries(publicKeys)) keys.push_back(ReadPublicKey(entry));
  if (signature.size() != kUpdaterSignatureSize) return false;
  std::unique_ptr<platform::MappedFile> file;
  try {
    file = platform::MapFile(fileName);
  } catch (const std::system_error& e) {
    throw EInOutError(e.what());
  }
  bool valid = false;
  for (const PKey& key : keys) {
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> context(EVP_MD_CTX_new());
    if (!context) throw EOrvelError("Out of memory for the signature check");
    // Ed25519 signs the message itself, not a digest: no digest is named.
    valid = EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
            EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                             signature.size(), file->Data(), file->Size()) == 1;
    if (valid) break;
  }
  // A failed check leaves errors in the thread's queue, where the TLS code of
  // a later transfer would read them as its own.
  ERR_clear_error();
  return valid;
}
