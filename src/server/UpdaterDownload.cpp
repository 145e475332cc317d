#include "server/UpdaterDownload.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
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
  std::string upper = url;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return upper.find("HTTPS") != std::string::npos;
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
