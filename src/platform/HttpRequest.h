#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

// One HTTP(S) request through the system's own HTTP library (WinHTTP on
// Windows). Only the Windows backend has one: POSIX builds use the libcurl
// transport of the HTTP client instead, and their backend does not define
// PerformHttpRequest.

namespace platform {

struct HttpRequest {
  std::string url;
  const std::string* body = nullptr;  // a POST of these bytes when set, else a GET
  std::string contentType;            // of the body
  // Bounds resolving, connecting and the TLS handshake.
  int connectTimeoutMs = 10000;
  // Bounds every wait once connected: for sending to progress, for the answer
  // to begin and for each piece of it.
  int readTimeoutMs = 30000;
  // "sha256//<base64>" entries joined by ";", already checked; "" for none.
  // While set, the server's public key must match one of them, which is
  // checked after the TLS handshake and before anything is sent.
  std::string keyPins;
  // Polled while waiting; a request that sees it ends as Stopped within
  // about a tenth of a second. May be empty.
  std::function<bool()> stopRequested;
};

struct HttpAnswerHead {
  int status = 0;
  std::string version;      // "HTTP/1.1"
  std::string reason;       // "Service Unavailable"; may be empty
  std::string contentType;  // as sent, "" when missing
  std::optional<std::uint64_t> contentLength;
};

enum class HttpFailure {
  Stopped,
  KeyRefused,  // the server's key matches none of keyPins
  ConnectTimedOut,
  ReadTimedOut,
  ConnectionRefused,
  HostNotFound,
  TlsFailed,
  ConnectionBroken,
  NotHttp,              // the answer is not HTTP
  UnsupportedProtocol,  // neither http nor https
  BadUrl,
  Failed,  // anything else
};

// A failed request: what failed, and the system's text for it (may be empty).
class HttpRequestError : public std::runtime_error {
 public:
  HttpRequestError(HttpFailure failure, const std::string& detail)
      : std::runtime_error(detail), FFailure(failure) {}
  HttpFailure Failure() const { return FFailure; }

 private:
  HttpFailure FFailure;
};

// Performs `request` on a connection of its own, closed before returning: no
// proxy, no redirects (a 3xx status is an answer like any other), TLS 1.2 only,
// the server's certificate not verified. `onHead` gets the answer's status and
// headers, then `onBody` each piece of the body as it arrives. An exception
// raised by either ends the request and comes out as it is. Raises
// HttpRequestError.
void PerformHttpRequest(const HttpRequest& request, const std::function<void(const HttpAnswerHead&)>& onHead,
                        const std::function<void(const char* data, std::size_t size)>& onBody);

}  // namespace platform
