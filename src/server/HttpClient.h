#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include <cstddef>

class TStopSignal;

// The largest answer body a request accepts: 32 MiB.
constexpr size_t kMaxAnswerBytes = 32u * 1024u * 1024u;

// The answer to one request: status code, the Content-Type header as sent and
// the body bytes as received.
struct THttpResponse {
  int Status = 0;
  std::string ContentType;
  std::string Body;
};

// An HTTP(S) client on libcurl. Every request opens a connection of its own
// and closes it before returning, so nothing is shared between requests.
// Redirects are not followed. Without a TLS handler (EnableTLS) only http URLs
// can be used; with it, https runs TLS 1.2 only and the server's certificate is
// not verified.
//
// Time-outs: ConnectTimeout bounds connecting (TLS handshake included);
// ReadTimeout bounds every wait for the server once connected (a server that
// sends nothing for that long ends the request). A stop signal, when given,
// ends a running request within about a second of being requested.
//
// Answers are bounded: a body larger than kMaxAnswerBytes is refused without
// being held whole (by its Content-Length when it names one, else as it
// arrives).
//
// Every failure raises ETransferError whose message says what failed: a status
// outside 2xx, a connect or read time-out, a TLS failure, a refused or broken
// connection, an answer that is not HTTP or is too large, or a stop. Not
// thread-safe: one request at a time.
class THttpClient {
 public:
  // stop may be null; otherwise it must outlive the client.
  explicit THttpClient(const TStopSignal* stop = nullptr);
  ~THttpClient();
  THttpClient(const THttpClient&) = delete;
  THttpClient& operator=(const THttpClient&) = delete;

  int ConnectTimeout() const { return FConnectTimeout; }
  void SetConnectTimeout(int milliseconds) { FConnectTimeout = milliseconds; }
  int ReadTimeout() const { return FReadTimeout; }
  void SetReadTimeout(int milliseconds) { FReadTimeout = milliseconds; }

  // Attaches the TLS handler (TLS 1.2 only, no certificate verification).
  void EnableTLS() { FTLS = true; }
  bool TLSEnabled() const { return FTLS; }

  // Pins the server's public key: pins is "sha256//<base64 of the SHA-256 of
  // the key's DER form>" entries separated by ";" (blanks around an entry are
  // ignored); empty turns pinning off. While pins are set, every request fails
  // with ETransferError unless it goes to an https URL over the TLS handler
  // and the server's key matches one of them; malformed pins fail every
  // request. The messages name ServerKeyPin, the setting the pins come from.
  void SetPinnedPublicKey(const std::string& pins) { FPinnedPublicKey = pins; }
  const std::string& PinnedPublicKey() const { return FPinnedPublicKey; }

  // POSTs body with the given Content-Type; raises ETransferError.
  THttpResponse Post(const std::string& url, const std::string& body, const std::string& contentType);
  // GETs url; raises ETransferError.
  THttpResponse Get(const std::string& url);
  // Where a streamed answer body goes, piece by piece as it arrives. An
  // exception it raises ends the request and comes out of GetStreamed as it is.
  using TBodySink = std::function<void(const char* data, std::size_t size)>;
  // GETs url, handing the body to sink instead of keeping it (the returned
  // Body is empty); raises ETransferError, or what sink raised.
  THttpResponse GetStreamed(const std::string& url, const TBodySink& sink);

 private:
  THttpResponse Perform(const std::string& url, const std::string* body, const std::string& contentType,
                        const TBodySink* sink = nullptr);

  const TStopSignal* FStop;
  int FConnectTimeout = 10000;
  int FReadTimeout = 30000;
  bool FTLS = false;
  std::string FPinnedPublicKey;
};

// The content type of a collector document: "text/json; charset=ISO-8859-1".
extern const char* const kJSONContentType;

// The request body of a document text (UTF-8): the text in the system's ANSI
// code page (AnsiCodePage, Windows-1252 where the system's is not single-byte),
// "?" for what the code page cannot hold, no byte-order mark. The content type
// names ISO-8859-1 whatever the code page: the server reads it so.
std::string JSONRequestBody(const std::string& text);
// JSONRequestBody made in text's own buffer: text becomes the body.
void MakeJSONRequestBody(std::string& text);

// The answer body as UTF-8 text, decoded by the charset its content type
// names: UTF-8, ISO-8859-1 or Windows-1252 (US-ASCII reads as Windows-1252).
// Without a charset, a JSON content type reads as UTF-8 and any other as
// ISO-8859-1, and so does a charset not named here. Bytes of malformed UTF-8
// become U+FFFD. Never raises.
std::string DecodeResponseText(const THttpResponse& response);

// Transfers one document: posts body (made by JSONRequestBody) to url with
// kJSONContentType and returns the decoded answer text. Raises ETransferError.
std::string PostJSONDocument(THttpClient& client, const std::string& url, const std::string& body);
