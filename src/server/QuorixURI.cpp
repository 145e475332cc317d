#include "server/QuorixURI.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/AsciiText.h"
#include "server/ServerBuildConfig.h"

namespace {

using platform::LowerAscii;
using platform::TrimText;

std::string FromEnvironment(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? std::string(value) : fallback;
}

std::string UsualPort(const std::string& protocol) {
  const std::string p = LowerAscii(protocol);
  if (p == "http") return "80";
  if (p == "https") return "443";
  if (p == "ftp") return "21";
  return "";
}

}  // namespace

TQuorixURI::TQuorixURI() { SetURL(""); }

std::string TQuorixURI::DefaultHost() { return FromEnvironment("DC_SERVER_HOST", DC_DEFAULT_SERVER_HOST); }

std::string TQuorixURI::DefaultPort() { return FromEnvironment("DC_SERVER_PORT", "9000"); }

void TQuorixURI::SetURL(const std::string& text) {
  FProtocol.clear();
  FUsername.clear();
  FPassword.clear();
  FHost.clear();
  FPort.clear();
  FPath.clear();
  FDocument.clear();
  FParams.clear();
  FBookmark.clear();

  std::string rest = text;
  if (const auto hash = rest.find('#'); hash != std::string::npos) {
    FBookmark = rest.substr(hash + 1);
    rest.erase(hash);
  }
  if (const auto query = rest.find('?'); query != std::string::npos) {
    FParams = rest.substr(query + 1);
    rest.erase(query);
  }
  if (const auto scheme = rest.find("://"); scheme != std::string::npos) {
    FProtocol = rest.substr(0, scheme);
    rest.erase(0, scheme + 3);
    const auto slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    rest = slash == std::string::npos ? std::string() : rest.substr(slash);
    if (const auto at = authority.rfind('@'); at != std::string::npos) {
      const std::string userInfo = authority.substr(0, at);
      authority.erase(0, at + 1);
      const auto colon = userInfo.find(':');
      FUsername = userInfo.substr(0, colon);
      if (colon != std::string::npos) FPassword = userInfo.substr(colon + 1);
    }
    // A bracketed IPv6 literal holds colons of its own.
    const auto closing = authority.rfind(']');
    const auto colon = authority.rfind(':');
    if (colon != std::string::npos && (closing == std::string::npos || colon > closing)) {
      FPort = authority.substr(colon + 1);
      authority.erase(colon);
    }
    FHost = authority;
  }
  const auto lastSlash = rest.rfind('/');
  if (lastSlash == std::string::npos) {
    FDocument = rest;
  } else {
    FPath = rest.substr(0, lastSlash + 1);
    FDocument = rest.substr(lastSlash + 1);
  }

  if (FProtocol.empty()) FProtocol = "https";
  if (FDocument.empty()) FDocument = "datacollector.php";
  if (FPort.empty() && LowerAscii(FProtocol) == "https") FPort = DefaultPort();
  if (FHost.empty()) FHost = DefaultHost();
  if (FPath.empty()) FPath = "/";
}

std::string TQuorixURI::URL() const {
  std::string url = FProtocol + "://";
  if (!FUsername.empty()) {
    url += FUsername;
    if (!FPassword.empty()) url += ":" + FPassword;
    url += "@";
  }
  url += FHost;
  if (!FPort.empty() && FPort != UsualPort(FProtocol)) url += ":" + FPort;
  url += FPath + FDocument;
  if (!FParams.empty()) url += "?" + FParams;
  if (!FBookmark.empty()) url += "#" + FBookmark;
  return url;
}

bool TQuorixURI::UsesSSL() const { return LowerAscii(FProtocol) == "https"; }
