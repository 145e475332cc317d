#include "server/UpdaterDownload.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <system_error>
#include <vector>

#include "server/ServerBuildConfig.h"
#include "platform/AsciiText.h"
#include "platform/Files.h"

namespace {

namespace fs = std::filesystem;

constexpr int kConnectTimeout = 10000;
constexpr int kReadTimeout = 60000;

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
  std::string keys = platform::TrimText(configured);
  const std::string built = platform::TrimText(DC_UPDATE_PUBLIC_KEY);
  if (!built.empty()) keys += (keys.empty() ? "" : ";") + built;
  return keys;
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
