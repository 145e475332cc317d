#pragma once

#include <cstddef>
#include <string>

#include "server/HttpClient.h"

class TStopSignal;

// The updater that the server names in its Authorize answer: how it is
// fetched and how it is saved beside the program. Checking its version,
// starting it and telling the host are the collector's part.

// The smallest updater accepted; a shorter download is a failed one.
constexpr std::size_t kMinimumUpdaterSize = 2000000;

// The updater's file name in the program's folder: "DCSetup" + ".exe".
std::string UpdaterFileName(const std::string& programFolder);

// Whether the download of url gets the TLS handler: when url, upper-cased,
// contains "HTTPS" anywhere (not only as its scheme).
bool UpdaterUsesTLS(const std::string& url);

// The download client: a client of its own for every download, separate from
// the collector's, with the TLS handler of the collector's client (TLS 1.2
// only, the certificate not verified) when UpdaterUsesTLS, and the server key
// pins of ServerKeyPin when given (see THttpClient::SetPinnedPublicKey).
// Connect time-out 10 s; a server that sends nothing for 60 s ends the
// download. Not thread-safe.
class TUpdaterDownload {
 public:
  // stop, when given, must outlive the object; a stop ends a running download.
  explicit TUpdaterDownload(const TStopSignal* stop = nullptr, std::string keyPin = {});

  // GETs url and returns the whole answer. Raises ETransferError for a failed
  // transfer and for a status outside 2xx.
  THttpResponse Fetch(const std::string& url);

 private:
  const TStopSignal* FStop;
  std::string FKeyPin;
};

// Saves bytes as fileName, made executable. A file of that name is deleted
// first, read-only or not. Raises EInOutError when the file cannot be created
// or written (a partly written file is deleted again).
void SaveUpdaterFile(const std::string& fileName, const std::string& bytes);

// Deletes the file, clearing its read-only attribute first; a failure is not
// reported. Never raises.
void DeleteUpdaterFile(const std::string& fileName);
