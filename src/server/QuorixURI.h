#pragma once

#include <string>

// The address of the statistics server, kept as its parts. Writing URL parses a
// text and then fills every empty part that has a default: protocol "https",
// document "datacollector.php", port "9000" for https, the default server host
// and the path "/". Reading URL puts the parts back together, leaving out a port
// that is the usual one of the protocol.
//
// The default host is the build setting DC_DEFAULT_SERVER_HOST; the environment
// variables DC_SERVER_HOST and DC_SERVER_PORT replace the default host and the
// default port (for tests and staging), never a part the text names itself.
// Not thread-safe; never raises.
class TQuorixURI {
 public:
  // All defaults applied, as if an empty text had been written to URL.
  TQuorixURI();

  std::string URL() const;
  void SetURL(const std::string& text);

  // True when the protocol is "https", compared without regard to case.
  bool UsesSSL() const;

  const std::string& Protocol() const { return FProtocol; }
  const std::string& Username() const { return FUsername; }
  const std::string& Password() const { return FPassword; }
  const std::string& Host() const { return FHost; }
  const std::string& Port() const { return FPort; }
  const std::string& Path() const { return FPath; }
  const std::string& Document() const { return FDocument; }
  const std::string& Params() const { return FParams; }
  const std::string& Bookmark() const { return FBookmark; }

  // The host and the https port that fill empty parts, with the environment's
  // overrides applied.
  static std::string DefaultHost();
  static std::string DefaultPort();

 private:
  std::string FProtocol;
  std::string FUsername;
  std::string FPassword;
  std::string FHost;
  std::string FPort;
  std::string FPath;
  std::string FDocument;
  std::string FParams;
  std::string FBookmark;
};
