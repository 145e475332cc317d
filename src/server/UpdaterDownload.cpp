#include "server/UpdaterDownload.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "server/ServerBuildConfig.h"
#include "platform/AsciiText.h"
#include "platform/Files.h"

namespace {

namespace fs = std::filesystem;

constexpr int kConnectTimeout = 10000;
constexpr int kReadTimeout = 60000;

struct PKeyDeleter {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyDeleter>;

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The bytes of base64 text (blanks and line breaks ignored, PEM "-----" lines
// left out); nothing when it is not base64.
std::optional<std::vector<unsigned char>> DecodeBase64(const std::string& text) {
  std::string clean;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(start, end - start));
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
    const std::string entry = Trim(list.substr(start, end - start));
    if (!entry.empty()) entries.push_back(entry);
    start = end + 1;
  }
  return entries;
}

}  // namespace

std::string UpdaterFileName(const std::string& programFolder) {
  std::string name = programFolder;
  if (!name.empty() && name.back() != platform::PathSeparator()) name += platform::PathSeparator();
  return name + "DCSetup" + ".exe";
}

bool UpdaterUsesTLS(const std::string& url) {
  return platform::UpperAscii(url).find("HTTPS") != std::string::npos;
}

TUpdaterDownload::TUpdaterDownload(const TStopSignal* stop, std::string keyPin)
    : FStop(stop), FKeyPin(std::move(keyPin)) {}

THttpResponse TUpdaterDownload::Fetch(const std::string& url) {
  THttpClient client(FStop);
  client.SetConnectTimeout(kConnectTimeout);
  client.SetReadTimeout(kReadTimeout);
  client.SetPinnedPublicKey(FKeyPin);
  if (UpdaterUsesTLS(url)) client.EnableTLS();
  return client.Get(url);
}

TDownloadedUpdater::TDownloadedUpdater(std::string path, int status, std::uint64_t size)
    : FPath(std::move(path)), FStatus(status), FSize(size) {}

TDownloadedUpdater::~TDownloadedUpdater() {
  if (FCommitted) return;
  std::error_code ignored;
  fs::remove(FPath, ignored);
}

void TDownloadedUpdater::CommitAs(const std::string& fileName) {
  std::error_code error;
  fs::permissions(FPath, fs::perms::owner_all, fs::perm_options::replace, error);
  if (!error) fs::rename(FPath, fileName, error);
  if (error) throw EInOutError("Cannot save the updater as " + fileName + ": " + error.message());
  FCommitted = true;
}

std::unique_ptr<TDownloadedUpdater> TUpdaterDownload::FetchToFolder(const std::string& url,
                                                                    const std::string& folder,
                                                                    std::uint64_t limit) {
  std::string path;
  try {
    path = platform::CreatePrivateFile(folder, "DCSetup.download.");
  } catch (const std::system_error& e) {
    throw EInOutError(std::string("Cannot create file for the updater: ") + e.what());
  }
  // Owns the file from here on, so that every failure below deletes it.
  auto file = std::make_unique<TDownloadedUpdater>(path, 0, 0);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw EInOutError("Cannot create file " + path);
  std::uint64_t size = 0;
  THttpClient client(FStop);
  client.SetConnectTimeout(kConnectTimeout);
  client.SetReadTimeout(kReadTimeout);
  client.SetPinnedPublicKey(FKeyPin);
  if (UpdaterUsesTLS(url)) client.EnableTLS();
  const THttpResponse response = client.GetStreamed(url, [&](const char* data, std::size_t count) {
    if (count > limit - size) {
      throw EUpdaterRefused(TUpdaterRefusal::TooLarge, "Update refused: the updater is larger than " +
                                                           std::to_string(limit) + " bytes");
    }
    size += count;
    out.write(data, static_cast<std::streamsize>(count));
    if (!out) throw EInOutError("Cannot write file " + path);
  });
  out.close();
  if (!out) throw EInOutError("Cannot write file " + path);
  file->FStatus = response.Status;
  file->FSize = size;
  return file;
}

std::string TUpdaterDownload::FetchSignature(const std::string& url) {
  const std::string signatureUrl = url + kUpdaterSignatureSuffix;
  std::string signature;
  try {
    THttpClient client(FStop);
    client.SetConnectTimeout(kConnectTimeout);
    client.SetReadTimeout(kReadTimeout);
    client.SetPinnedPublicKey(FKeyPin);
    if (UpdaterUsesTLS(signatureUrl)) client.EnableTLS();
    client.GetStreamed(signatureUrl, [&](const char* data, std::size_t count) {
      if (signature.size() + count > kUpdaterSignatureSize) throw ETransferError("longer than a signature");
      signature.append(data, count);
    });
  } catch (const ETransferError& e) {
    throw EUpdaterRefused(TUpdaterRefusal::NoSignature, "Update refused: no signature of the updater at " +
                                                            signatureUrl + " (" + e.what() + ")");
  }
  if (signature.size() != kUpdaterSignatureSize) {
    throw EUpdaterRefused(TUpdaterRefusal::NoSignature,
                          "Update refused: " + signatureUrl + " is not a signature (" +
                              std::to_string(signature.size()) + " bytes, not " +
                              std::to_string(kUpdaterSignatureSize) + ")");
  }
  return signature;
}

std::string TrustedUpdaterKeys(const std::string& configured) {
  std::string keys = Trim(configured);
  const std::string built = Trim(DC_UPDATE_PUBLIC_KEY);
  if (!built.empty()) keys += (keys.empty() ? "" : ";") + built;
  return keys;
}

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

void DeleteUpdaterFile(const std::string& fileName) {
  try {
    if (!platform::FileExists(fileName)) return;
    platform::SetReadOnly(fileName, false);
  } catch (...) {
  }
  std::error_code ignored;
  fs::remove(fileName, ignored);
}

void SaveUpdaterFile(const std::string& fileName, const std::string& bytes) {
  DeleteUpdaterFile(fileName);
  {
    std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
    if (!out) throw EInOutError("Cannot create file " + fileName);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      DeleteUpdaterFile(fileName);
      throw EInOutError("Cannot write file " + fileName);
    }
  }
  std::error_code error;
  fs::permissions(fileName, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add, error);
  if (error) {
    DeleteUpdaterFile(fileName);
    throw EInOutError("Cannot make " + fileName + " executable: " + error.message());
  }
}
