// The transport of THttpClient on libcurl.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/StopSignal.h"
#include "server/HttpClient.h"
#include "platform/AsciiText.h"
#include "server/HttpTransport.h"

namespace {

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
  const std::string line = platform::TrimText(std::string(data, size * count));
  if (line.rfind("HTTP/", 0) == 0) {
    // A new response begins (an interim 1xx comes before the final one).
    state->statusLine = line;
    state->contentType.clear();
  } else if (const auto colon = line.find(':'); colon != std::string::npos) {
    if (platform::LowerAscii(platform::TrimText(line.substr(0, colon))) == "content-type") state->contentType = platform::TrimText(line.substr(colon + 1));
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

}  // namespace

THttpResponse THttpClient::Perform(const std::string& url, const std::string* body,
                                   const std::string& contentType, const TBodySink* sink) {
  const std::string pins = CheckRequest(url, FStop, FTLS, FPinnedPublicKey);
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
    const bool httpsWithoutTLS = !FTLS && platform::LowerAscii(url).rfind("https://", 0) == 0;
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

