#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "server/HttpClient.h"

class TStopSignal;

// The updater that the server names in its Authorize answer: how it is
// fetched, authenticated and saved beside the program. Deciding which checks
// apply, starting it and telling the host are the collector's part.

// The smallest updater accepted; a shorter download is a failed one.
constexpr std::size_t kMinimumUpdaterSize = 2000000;
// The largest updater accepted: a longer download is ended and refused.
constexpr std::uint64_t kMaximumUpdaterSize = 256ull * 1024 * 1024;
// The detached signature of an updater: the raw 64 bytes of an Ed25519
// signature of the whole file, fetched from the updater's URL + this suffix.
constexpr const char* kUpdaterSignatureSuffix = ".sig";
constexpr std::size_t kUpdaterSignatureSize = 64;

// The updater's file name in the program's folder: "DCSetup" + ".exe".
std::string UpdaterFileName(const std::string& programFolder);

// Whether the download of url gets the TLS handler: when url, upper-cased,
// contains "HTTPS" anywhere (not only as its scheme).
bool UpdaterUsesTLS(const std::string& url);

// Why an updater is not started.
enum class TUpdaterRefusal {
  NoTrust,           // neither a pinned server nor a trusted public key is configured
  BadPublicKey,      // a configured public key cannot be read
  TooLarge,          // more than kMaximumUpdaterSize bytes
  NotNativeProgram,  // not a program of this platform (a script, a document)
  NoSignature,       // no detached signature of the right size could be fetched
  BadSignature,      // the signature is not one of a trusted key over this file
};

// An updater refused by one of the checks; the message says which and what
// to configure.
class EUpdaterRefused : public EOrvelError {
 public:
  EUpdaterRefused(TUpdaterRefusal reason, const std::string& message) : EOrvelError(message), FReason(reason) {}
  TUpdaterRefusal Reason() const { return FReason; }

 private:
  TUpdaterRefusal FReason;
};

// A downloaded updater in a private temporary file (owner read and write
// only) in the folder it was fetched into. The file is deleted when the
// object is destroyed, unless CommitAs has moved it into place.
class TDownloadedUpdater {
 public:
  TDownloadedUpdater(std::string path, int status, std::uint64_t size);
  ~TDownloadedUpdater();
  TDownloadedUpdater(const TDownloadedUpdater&) = delete;
  TDownloadedUpdater& operator=(const TDownloadedUpdater&) = delete;

  const std::string& Path() const { return FPath; }
  int Status() const { return FStatus; }
  std::uint64_t Size() const { return FSize; }

  // Makes the file executable by its owner only and renames it to fileName,
  // replacing a file of that name (read-only or not). Raises EInOutError.
  void CommitAs(const std::string& fileName);

 private:
  friend class TUpdaterDownload;
  std::string FPath;
  int FStatus;
  std::uint64_t FSize;
  bool FCommitted = false;
};

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

  // GETs url into a new private temporary file in folder, never holding the
  // whole body in memory. Raises ETransferError as Fetch does, EUpdaterRefused
  // (TooLarge) once more than limit bytes arrive, and EInOutError when the file
  // cannot be created or written; the file is deleted again in every case.
  std::unique_ptr<TDownloadedUpdater> FetchToFolder(const std::string& url, const std::string& folder,
                                                    std::uint64_t limit = kMaximumUpdaterSize);

  // The detached signature of the updater at url (url + kUpdaterSignatureSuffix).
  // Raises EUpdaterRefused (NoSignature) when it cannot be fetched or is not
  // kUpdaterSignatureSize bytes long.
  std::string FetchSignature(const std::string& url);

 private:
  const TStopSignal* FStop;
  std::string FKeyPin;
};

// The public keys the installation trusts for updaters: the configured ones
// (the "UpdatePublicKey" registry value) followed by the one fixed when the
// program was built (DC_UPDATE_PUBLIC_KEY), ";"-separated; "" when none.
std::string TrustedUpdaterKeys(const std::string& configured);

// Whether signature is an Ed25519 signature of the whole file by one of
// publicKeys: ";"-separated entries, each the base64 text of the key's 32
// bytes, or of its DER SubjectPublicKeyInfo with or without the PEM lines.
// Raises EUpdaterRefused (BadPublicKey) naming an entry that cannot be read,
// and EInOutError when the file cannot be read.
bool UpdaterSignatureValid(const std::string& fileName, const std::string& signature,
                           const std::string& publicKeys);

// Saves bytes as fileName, made executable. A file of that name is deleted
// first, read-only or not. Raises EInOutError when the file cannot be created
// or written (a partly written file is deleted again).
void SaveUpdaterFile(const std::string& fileName, const std::string& bytes);

// Deletes the file, clearing its read-only attribute first; a failure is not
// reported. Never raises.
void DeleteUpdaterFile(const std::string& fileName);
