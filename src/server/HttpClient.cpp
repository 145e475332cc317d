#include "server/HttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>
#include <memory>

#include "Shared/Orvel_Shared/AnsiText.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/StopSignal.h"
#include "platform/AsciiText.h"
#include "platform/TextEncoding.h"

const char* const kJSONContentType = "text/json; charset=ISO-8859-1";

namespace {

using platform::LowerAscii;
using platform::TrimText;

using Clock = std::chrono::steady_clock;

struct CurlDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlHandle = std::unique_ptr<CURL, CurlDeleter>;
using CurlHeaders = std::unique_ptr<curl_slist, SlistDeleter>;

enum class AbortReason { None, ReadTimeout, Stopped, TooLarge };

// What the callbacks of one request share.
struct TransferState {
  const TStopSignal* stop = nullptr;
  int readTimeout = 0;
  CURL* curl = nullptr;
  bool connected = false;
  curl_off_t lastDown = -1;
  curl_off_t lastUp = -1;
  Clock::time_point lastActivity;
  AbortReason reason = AbortReason::None;
  std::string body;
  const THttpClient::TBodySink* sink = nullptr;
  std::exception_ptr sinkError;
  std::string contentType;
  std::string statusLine;
};

size_t OnWrite(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<TransferState*>(user);
  const size_t bytes = size * count;
  if (state->sink != nullptr) {
    // A streamed body goes to its sink, which keeps its own limit.
    try {
      (*state->sink)(data, bytes);
    } catch (...) {
      // libcurl is C: the exception waits until curl_easy_perform has returned.
      state->sinkError = std::current_exception();
      return 0;
    }
    return bytes;
  }
  // An answer without a length (chunked) is counted as it comes: the
  // transfer ends before the body outgrows the limit.
  if (bytes > kMaxAnswerBytes - state->body.size()) {
    state->reason = AbortReason::TooLarge;
    return CURL_WRITEFUNC_ERROR;
  }
  // Growth is capped at the limit, so that a body near it never holds twice
  // the memory.
  if (state->body.size() + bytes > state->body.capacity()) {
    state->body.reserve(std::min(std::max(state->body.capacity() * 2, state->body.size() + bytes), kMaxAnswerBytes));
  }
  state->body.append(data, bytes);
  return bytes;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<TransferState*>(user);
  const std::string line = TrimText(std::string(data, size * count));
  if (line.rfind("HTTP/", 0) == 0) {
    // A new response begins (an interim 1xx comes before the final one).
    state->statusLine = line;
    state->contentType.clear();
  } else if (const auto colon = line.find(':'); colon != std::string::npos) {
    if (LowerAscii(TrimText(line.substr(0, colon))) == "content-type") state->contentType = TrimText(line.substr(colon + 1));
  }
  return size * count;
}

// Called by libcurl at least once a second while a transfer runs. The read
// time-out counts from the last byte that moved in either direction, and only
// once the connection (TLS included) stands: connecting has its own time-out.
int OnProgress(void* user, curl_off_t downNow, curl_off_t, curl_off_t upNow, curl_off_t) {
  auto* state = static_cast<TransferState*>(user);
  if (state->stop != nullptr && state->stop->Requested()) {
    state->reason = AbortReason::Stopped;
    return 1;
  }
  const auto now = Clock::now();
  if (!state->connected) {
    curl_off_t pretransfer = 0;
    if (curl_easy_getinfo(state->curl, CURLINFO_PRETRANSFER_TIME_T, &pretransfer) != CURLE_OK ||
        pretransfer <= 0) {
      return 0;
    }
    state->connected = true;
    state->lastActivity = now;
  }
  if (downNow != state->lastDown || upNow != state->lastUp) {
    state->lastDown = downNow;
    state->lastUp = upNow;
    state->lastActivity = now;
  } else if (state->readTimeout > 0 &&
             now - state->lastActivity >= std::chrono::milliseconds(state->readTimeout)) {
    state->reason = AbortReason::ReadTimeout;
    return 1;
  }
  return 0;
}

[[noreturn]] void RaiseTransferError(CURLcode code, const TransferState& state, const char* errorText,
                                     int connectTimeout, bool httpsWithoutTLS) {
  const std::string detail = *errorText != '\0' ? std::string(errorText) : curl_easy_strerror(code);
  if (state.reason == AbortReason::TooLarge || code == CURLE_FILESIZE_EXCEEDED) {
    throw ETransferError("Answer too large: the server sent more than " + std::to_string(kMaxAnswerBytes) +
                         " bytes");
  }
  switch (code) {
    case CURLE_ABORTED_BY_CALLBACK:
      if (state.reason == AbortReason::ReadTimeout) {
        throw ETransferError("Read timed out: no answer from the server within " +
                             std::to_string(state.readTimeout) + " ms");
      }
      throw ETransferError("Transfer stopped: the service is stopping");
    case CURLE_OPERATION_TIMEDOUT:
      throw ETransferError("Connect timed out after " + std::to_string(connectTimeout) + " ms: " + detail);
    case CURLE_COULDNT_CONNECT:
      throw ETransferError("Connection refused: " + detail);
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      throw ETransferError("Host not found: " + detail);
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      throw ETransferError("TLS failure: the server's public key does not match ServerKeyPin (" + detail + ")");
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_USE_SSL_FAILED:
      throw ETransferError("TLS failure: " + detail);
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      throw ETransferError("Connection broken: " + detail);
    case CURLE_UNSUPPORTED_PROTOCOL:
      // libcurl also reports an answer that is not HTTP at all this way.
      if (httpsWithoutTLS) throw ETransferError("Unsupported protocol (https needs the TLS handler): " + detail);
      throw ETransferError("The server's answer is not HTTP: " + detail);
    default:
      throw ETransferError("Transfer failed: " + detail);
  }
}

template <class T>
void SetOption(CURL* curl, CURLoption option, T value) {
  if (curl_easy_setopt(curl, option, value) != CURLE_OK) {
    throw ETransferError("HTTP client option " + std::to_string(static_cast<int>(option)) + " refused");
  }
}

// The pins in the form libcurl takes them, or a raised ETransferError.
std::string CheckedPins(const std::string& pins) {
  std::string normalized;
  size_t start = 0;
  while (start <= pins.size()) {
    size_t end = pins.find(';', start);
    if (end == std::string::npos) end = pins.size();
    const std::string pin = TrimText(pins.substr(start, end - start));
    const std::string key = pin.rfind("sha256//", 0) == 0 ? pin.substr(8) : std::string();
    const bool base64 = key.size() == 44 && key.back() == '=' &&
                        std::all_of(key.begin(), key.end() - 1, [](unsigned char c) {
                          return std::isalnum(c) != 0 || c == '+' || c == '/';
                        });
    if (!base64) {
      throw ETransferError("ServerKeyPin is not a list of \"sha256//<base64>\" pins separated by \";\": " + pins);
    }
    normalized += (normalized.empty() ? "" : ";") + pin;
    start = end + 1;
  }
  return normalized;
}

// The text with every byte that does not belong to a well-formed UTF-8
// sequence replaced by U+FFFD.
std::string RepairedUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool wellFormed = length != 0 && i + length <= text.size();
    for (size_t k = 1; wellFormed && k < length; ++k) {
      wellFormed = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    }
    if (wellFormed) {
      out.append(text, i, length);
      i += length;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

std::string Latin1ToUtf8(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char ch : bytes) platform::AppendUtf8(out, static_cast<unsigned char>(ch));
  return out;
}

}  // namespace

THttpClient::THttpClient(const TStopSignal* stop) : FStop(stop) {}

THttpClient::~THttpClient() = default;

THttpResponse THttpClient::Post(const std::string& url, const std::string& body,
                                const std::string& contentType) {
  return Perform(url, &body, contentType);
}

THttpResponse THttpClient::Get(const std::string& url) { return Perform(url, nullptr, ""); }

THttpResponse THttpClient::GetStreamed(const std::string& url, const TBodySink& sink) {
  return Perform(url, nullptr, "", &sink);
}

THttpResponse THttpClient::Perform(const std::string& url, const std::string* body,
                                   const std::string& contentType, const TBodySink* sink) {
  if (FStop != nullptr && FStop->Requested()) throw ETransferError("Transfer stopped: the service is stopping");
  std::string pins;
  if (!FPinnedPublicKey.empty()) {
    pins = CheckedPins(FPinnedPublicKey);
    if (!FTLS || LowerAscii(url).rfind("https://", 0) != 0) {
      throw ETransferError("ServerKeyPin is set: the unencrypted URL " + url + " is refused");
    }
  }
  CurlHandle curl(curl_easy_init());
  if (!curl) throw ETransferError("The HTTP client library cannot be initialised");
  char errorText[CURL_ERROR_SIZE] = {0};
  TransferState state;
  state.stop = FStop;
  state.readTimeout = FReadTimeout;
  state.curl = curl.get();
  state.sink = sink;

  CURL* c = curl.get();
  SetOption(c, CURLOPT_URL, url.c_str());
  SetOption(c, CURLOPT_ERRORBUFFER, errorText);
  SetOption(c, CURLOPT_NOSIGNAL, 1L);
  SetOption(c, CURLOPT_FOLLOWLOCATION, 0L);
  // The environment's proxy settings must not apply: there is no proxy.
  SetOption(c, CURLOPT_PROXY, "");
  SetOption(c, CURLOPT_FORBID_REUSE, 1L);
  SetOption(c, CURLOPT_FRESH_CONNECT, 1L);
  SetOption(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(FConnectTimeout));
  SetOption(c, CURLOPT_PROTOCOLS_STR, FTLS ? "http,https" : "http");
  if (FTLS) {
    SetOption(c, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2));
    SetOption(c, CURLOPT_SSL_VERIFYPEER, 0L);
    SetOption(c, CURLOPT_SSL_VERIFYHOST, 0L);
    if (!pins.empty()) SetOption(c, CURLOPT_PINNEDPUBLICKEY, pins.c_str());
  }
  SetOption(c, CURLOPT_WRITEFUNCTION, &OnWrite);
  SetOption(c, CURLOPT_WRITEDATA, static_cast<void*>(&state));
  SetOption(c, CURLOPT_HEADERFUNCTION, &OnHeader);
  SetOption(c, CURLOPT_HEADERDATA, static_cast<void*>(&state));
  SetOption(c, CURLOPT_XFERINFOFUNCTION, &OnProgress);
  SetOption(c, CURLOPT_XFERINFODATA, static_cast<void*>(&state));
  SetOption(c, CURLOPT_NOPROGRESS, 0L);

  CurlHeaders headers;
  if (body != nullptr) {
    SetOption(c, CURLOPT_POST, 1L);
    SetOption(c, CURLOPT_POSTFIELDS, body->data());
    SetOption(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body->size()));
    // Without "Expect:" libcurl would wait for a "100 Continue" before
    // sending a large body.
    for (const std::string& h : {"Content-Type: " + contentType, std::string("Expect:")}) {
      curl_slist* appended = curl_slist_append(headers.get(), h.c_str());
      if (appended == nullptr) throw ETransferError("Out of memory for the request headers");
      headers.release();
      headers.reset(appended);
    }
    SetOption(c, CURLOPT_HTTPHEADER, headers.get());
  } else {
    SetOption(c, CURLOPT_HTTPGET, 1L);
  }

  // An answer that announces its length is refused before its body is read;
  // a streamed body is bounded by its sink.
  if (sink == nullptr) {
    SetOption(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(kMaxAnswerBytes));
  }

  const CURLcode code = curl_easy_perform(c);
  if (state.sinkError) std::rethrow_exception(state.sinkError);
  if (code != CURLE_OK) {
    const bool httpsWithoutTLS = !FTLS && LowerAscii(url).rfind("https://", 0) == 0;
    RaiseTransferError(code, state, errorText, FConnectTimeout, httpsWithoutTLS);
  }

  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  if (status < 200 || status > 299) {
    const std::string line = state.statusLine.empty() ? "HTTP status " + std::to_string(status) : state.statusLine;
    throw ETransferError("Server answered with an error status: " + line);
  }
  THttpResponse response;
  response.Status = static_cast<int>(status);
  response.ContentType = state.contentType;
  response.Body = std::move(state.body);
  return response;
}

std::string JSONRequestBody(const std::string& text) { return Utf8ToAnsi(text); }

void MakeJSONRequestBody(std::string& text) { Utf8ToAnsiInPlace(text); }

std::string DecodeResponseText(const THttpResponse& response) {
  const std::string type = LowerAscii(response.ContentType);
  std::string charset;
  if (const auto at = type.find("charset="); at != std::string::npos) {
    charset = type.substr(at + 8);
    charset = TrimText(charset.substr(0, charset.find(';')));
    if (charset.size() >= 2 && charset.front() == '"' && charset.back() == '"') {
      charset = charset.substr(1, charset.size() - 2);
    }
  }
  if (charset.empty()) charset = type.find("json") != std::string::npos ? "utf-8" : "iso-8859-1";

  if (charset == "utf-8" || charset == "utf8") {
    std::string text = response.Body;
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    return RepairedUtf8(text);
  }
  if (charset == "iso-8859-1" || charset == "latin1" || charset == "latin-1" || charset == "iso8859-1") {
    return Latin1ToUtf8(response.Body);
  }
  if (charset == "windows-1252" || charset == "cp1252" || charset == "us-ascii" || charset == "ascii") {
    return AnsiToUtf8(response.Body);
  }
  // A character set this client does not know: every byte is kept as the
  // character of the same number rather than failing the exchange.
  return Latin1ToUtf8(response.Body);
}

std::string PostJSONDocument(THttpClient& client, const std::string& url, const std::string& body) {
  return DecodeResponseText(client.Post(url, body, kJSONContentType));
}
