// HTTP(S) requests on WinHTTP in asynchronous mode. Every wait is this
// unit's own: it polls the stop and measures the time-outs itself, and ends a
// request by closing its handle, so that neither depends on how the system's
// WinHTTP treats its own time-outs or a handle closed during a synchronous
// call (Wine's keeps waiting in both cases).
#include "platform/HttpRequest.h"

#include <windows.h>
#include <winhttp.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/AsciiText.h"
#include "platform/Crypto.h"
#include "platform/win32/Win32Text.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kPiece = 64 * 1024;
constexpr auto kPoll = std::chrono::milliseconds(100);

// What WinHTTP's callbacks share with the waiting caller. It is owned jointly
// by the caller and by the request handle's context, which the handle's
// closing callback drops: a request the caller has abandoned (stopped, timed
// out) may still call back, or still read into or send from the buffer,
// until WinHTTP has closed it.
struct Exchange {
  std::mutex lock;
  std::condition_variable changed;
  std::atomic<HINTERNET> request{nullptr};
  std::string pins;
  std::vector<char> buffer = std::vector<char>(kPiece);
  // Guarded by lock.
  bool ready = false;      // connected, TLS done, the request about to be sent
  bool keyRefused = false;
  bool closed = false;
  DWORD completed = 0;  // the status that ended the pending step; 0 while it runs
  DWORD error = 0;      // of a WINHTTP_CALLBACK_STATUS_REQUEST_ERROR
  DWORD size = 0;       // bytes read, written or available
  Clock::time_point progress = Clock::now();

  // Closes the request once, whoever comes first: the caller or the key check.
  void Close() {
    if (HINTERNET handle = request.exchange(nullptr)) WinHttpCloseHandle(handle);
  }
};

using ExchangeOwner = std::shared_ptr<Exchange>;

using Internet = win32::Owned<HINTERNET, WinHttpCloseHandle>;

// The base64 SHA-256 of the DER form of the server certificate's public key
// (its SubjectPublicKeyInfo), as the pins name keys; "" when unknown.
std::string ServerKeyPin(HINTERNET request) {
  const CERT_CONTEXT* certificate = nullptr;
  DWORD size = sizeof certificate;
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size) || certificate == nullptr)
    return "";
  std::string pin;
  DWORD encodedSize = 0;
  BYTE* encoded = nullptr;
  if (CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, &certificate->pCertInfo->SubjectPublicKeyInfo,
                          CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded, &encodedSize)) {
    const Sha256Digest digest = Sha256(encoded, encodedSize);
    LocalFree(encoded);
    char text[64] = {};
    DWORD length = sizeof text;
    if (CryptBinaryToStringA(digest.data(), static_cast<DWORD>(digest.size()),
                             CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF, text, &length))
      pin = std::string(text, length);
  }
  CertFreeCertificateContext(certificate);
  return pin;
}

bool PinMatches(const std::string& pins, const std::string& pin) {
  if (pin.empty()) return false;
  std::size_t start = 0;
  while (start <= pins.size()) {
    std::size_t end = pins.find(';', start);
    if (end == std::string::npos) end = pins.size();
    if (pins.compare(start, end - start, "sha256//" + pin) == 0) return true;
    start = end + 1;
  }
  return false;
}

void CALLBACK OnStatus(HINTERNET handle, DWORD_PTR context, DWORD status, void* information, DWORD length) {
  auto* owner = reinterpret_cast<ExchangeOwner*>(context);
  if (owner == nullptr) return;
  Exchange& exchange = **owner;
  if (status == WINHTTP_CALLBACK_STATUS_SENDING_REQUEST && !exchange.pins.empty()) {
    // The TLS handshake is done and nothing of the request has been sent yet:
    // the one moment to refuse a server whose key is not pinned.
    if (!PinMatches(exchange.pins, ServerKeyPin(handle))) {
      {
        std::lock_guard<std::mutex> hold(exchange.lock);
        exchange.keyRefused = true;
      }
      exchange.changed.notify_all();
      exchange.Close();
      return;
    }
  }
  {
    std::lock_guard<std::mutex> hold(exchange.lock);
    exchange.progress = Clock::now();
    switch (status) {
      case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
        exchange.ready = true;
        break;
      case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
      case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        exchange.ready = true;
        exchange.completed = status;
        break;
      case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
      case WINHTTP_CALLBACK_STATUS_DATA_AVAILABLE:
        exchange.completed = status;
        exchange.size = information != nullptr ? *static_cast<DWORD*>(information) : 0;
        break;
      case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        exchange.completed = status;
        exchange.size = length;
        break;
      case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        exchange.completed = status;
        exchange.error = static_cast<WINHTTP_ASYNC_RESULT*>(information)->dwError;
        break;
      case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        exchange.closed = true;
        break;
      default:
        break;
    }
  }
  exchange.changed.notify_all();
  // No callback follows the closing one: the handle's share of the exchange
  // ends here.
  if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) delete owner;
}

HttpFailure FailureOf(DWORD error, bool ready) {
  switch (error) {
    case ERROR_WINHTTP_TIMEOUT:
      return ready ? HttpFailure::ReadTimedOut : HttpFailure::ConnectTimedOut;
    case ERROR_WINHTTP_CANNOT_CONNECT:
      return HttpFailure::ConnectionRefused;
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      return HttpFailure::HostNotFound;
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
      return HttpFailure::TlsFailed;
    // Wine hands on the socket's own errors.
    case ERROR_WINHTTP_CONNECTION_ERROR:
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case ERROR_NETNAME_DELETED:
      return HttpFailure::ConnectionBroken;
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      return HttpFailure::NotHttp;
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
      return HttpFailure::UnsupportedProtocol;
    default:
      return HttpFailure::Failed;
  }
}

std::string WinHttpErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                          FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      GetModuleHandleW(L"winhttp.dll"), error, 0,
                                      reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = length > 0 ? win32::Narrow(buffer, length) : "error " + std::to_string(error);
  if (buffer != nullptr) LocalFree(buffer);
  return TrimText(text);
}

// One request's run: its steps, each started here and waited for until
// WinHTTP completes it, the stop is requested or a time-out passes.
class Run {
 public:
  Run(const HttpRequest& request, ExchangeOwner exchange)
      : FRequest(request), FExchange(std::move(exchange)), FStart(Clock::now()) {}
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;
  // However the run ends, the request is closed; what WinHTTP still does with
  // it afterwards touches only the exchange.
  ~Run() { FExchange->Close(); }

  [[noreturn]] void Fail(HttpFailure failure, const std::string& detail) {
    FExchange->Close();
    throw HttpRequestError(failure, detail);
  }
  [[noreturn]] void FailWith(DWORD error) {
    bool ready = false;
    {
      std::lock_guard<std::mutex> hold(FExchange->lock);
      ready = FExchange->ready;
    }
    Fail(FailureOf(error, ready), WinHttpErrorText(error));
  }

  // Starts a step with `start` (a WinHTTP call that returns at once) and
  // waits for it; returns the status that completed it.
  template <typename Start>
  DWORD Step(Start start) {
    {
      std::lock_guard<std::mutex> hold(FExchange->lock);
      FExchange->completed = 0;
      FExchange->progress = Clock::now();
    }
    if (!start()) FailWith(GetLastError());
    return Await();
  }

 private:
  DWORD Await() {
    Exchange& exchange = *FExchange;
    std::unique_lock<std::mutex> hold(exchange.lock);
    while (exchange.completed == 0) {
      if (exchange.keyRefused) {
        hold.unlock();
        Fail(HttpFailure::KeyRefused, "");
      }
      if (FRequest.stopRequested && FRequest.stopRequested()) {
        hold.unlock();
        Fail(HttpFailure::Stopped, "");
      }
      if (exchange.closed) {
        hold.unlock();
        Fail(HttpFailure::Failed, "the request was closed");
      }
      const auto now = Clock::now();
      if (!exchange.ready && now - FStart >= std::chrono::milliseconds(FRequest.connectTimeoutMs)) {
        hold.unlock();
        Fail(HttpFailure::ConnectTimedOut, "");
      }
      if (exchange.ready && now - exchange.progress >= std::chrono::milliseconds(FRequest.readTimeoutMs)) {
        hold.unlock();
        Fail(HttpFailure::ReadTimedOut, "");
      }
      exchange.changed.wait_for(hold, kPoll);
    }
    const DWORD status = exchange.completed;
    if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR) {
      const DWORD error = exchange.error;
      const bool refused = exchange.keyRefused;
      hold.unlock();
      if (refused) Fail(HttpFailure::KeyRefused, "");
      FailWith(error);
    }
    return status;
  }

  const HttpRequest& FRequest;
  ExchangeOwner FExchange;
  Clock::time_point FStart;
};

std::string QueryText(HINTERNET request, DWORD query) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size, WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return "";
  std::wstring text(size / sizeof(wchar_t), L'\0');
  if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size, WINHTTP_NO_HEADER_INDEX))
    return "";
  text.resize(size / sizeof(wchar_t));
  return win32::Narrow(text);
}

HttpAnswerHead AnswerHead(HINTERNET request) {
  HttpAnswerHead head;
  DWORD status = 0;
  DWORD size = sizeof status;
  WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                      &status, &size, WINHTTP_NO_HEADER_INDEX);
  head.status = static_cast<int>(status);
  head.version = QueryText(request, WINHTTP_QUERY_VERSION);
  head.reason = QueryText(request, WINHTTP_QUERY_STATUS_TEXT);
  head.contentType = QueryText(request, WINHTTP_QUERY_CONTENT_TYPE);
  const std::string length = TrimText(QueryText(request, WINHTTP_QUERY_CONTENT_LENGTH));
  if (!length.empty() && std::all_of(length.begin(), length.end(), [](char c) { return c >= '0' && c <= '9'; }))
    head.contentLength = std::strtoull(length.c_str(), nullptr, 10);
  return head;
}

}  // namespace

void PerformHttpRequest(const HttpRequest& request, const std::function<void(const HttpAnswerHead&)>& onHead,
                        const std::function<void(const char* data, std::size_t size)>& onBody) {
  const std::wstring url = win32::Widen(request.url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = parts.dwSchemeLength = 1;
  if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts))
    throw HttpRequestError(HttpFailure::BadUrl, "the URL " + request.url + " cannot be read");
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
    throw HttpRequestError(HttpFailure::UnsupportedProtocol, request.url);
  const bool https = parts.nScheme == INTERNET_SCHEME_HTTPS;
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";

  Internet session(WinHttpOpen(L"DataCollector", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
  if (session.Get() == nullptr)
    throw HttpRequestError(HttpFailure::Failed, "the HTTP library cannot be initialised: " +
                                                    WinHttpErrorText(GetLastError()));
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
  WinHttpSetOption(session.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
  // WinHTTP's own limits match the waits of Run; whichever notices first,
  // the failure is the same.
  WinHttpSetTimeouts(session.Get(), request.connectTimeoutMs, request.connectTimeoutMs, request.readTimeoutMs,
                     request.readTimeoutMs);
  Internet connection(WinHttpConnect(session.Get(), host.c_str(), parts.nPort, 0));
  if (connection.Get() == nullptr) {
    const DWORD error = GetLastError();
    throw HttpRequestError(FailureOf(error, false), WinHttpErrorText(error));
  }
  HINTERNET handle = WinHttpOpenRequest(connection.Get(), request.body != nullptr ? L"POST" : L"GET", path.c_str(),
                                        nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                        https ? WINHTTP_FLAG_SECURE : 0);
  if (handle == nullptr) {
    const DWORD error = GetLastError();
    throw HttpRequestError(FailureOf(error, false), WinHttpErrorText(error));
  }

  auto exchange = std::make_shared<Exchange>();
  exchange->request = handle;
  exchange->pins = request.keyPins;
  auto* owner = new ExchangeOwner(exchange);
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(owner);
  WinHttpSetOption(handle, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
  const DWORD notifications = WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                              WINHTTP_CALLBACK_FLAG_SEND_REQUEST | WINHTTP_CALLBACK_FLAG_HANDLES |
                              WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE;
  if (WinHttpSetStatusCallback(handle, &OnStatus, notifications, 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    // Without the callback no closing one comes to drop the handle's share.
    const DWORD error = GetLastError();
    exchange->Close();
    delete owner;
    throw HttpRequestError(HttpFailure::Failed, WinHttpErrorText(error));
  }
  Run run(request, exchange);

  WinHttpSetTimeouts(handle, request.connectTimeoutMs, request.connectTimeoutMs, request.readTimeoutMs,
                     request.readTimeoutMs);
  DWORD option = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  WinHttpSetOption(handle, WINHTTP_OPTION_REDIRECT_POLICY, &option, sizeof option);
  option = WINHTTP_DISABLE_KEEP_ALIVE;
  WinHttpSetOption(handle, WINHTTP_OPTION_DISABLE_FEATURE, &option, sizeof option);
  if (https) {
    option = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
             SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
    WinHttpSetOption(handle, WINHTTP_OPTION_SECURITY_FLAGS, &option, sizeof option);
  }
  if (request.body != nullptr) {
    const std::wstring header = L"Content-Type: " + win32::Widen(request.contentType);
    if (!WinHttpAddRequestHeaders(handle, header.c_str(), static_cast<DWORD>(header.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
      run.FailWith(GetLastError());
  }

  // The body goes out in pieces copied into the exchange's buffer, never
  // from the caller's memory, which an abandoned request must not touch.
  const std::size_t bodySize = request.body != nullptr ? request.body->size() : 0;
  run.Step([&] {
    return WinHttpSendRequest(handle, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                              static_cast<DWORD>(bodySize), context);
  });
  // Closing the request in the status callback keeps Windows from sending
  // anything to a server whose key is not pinned; a WinHTTP that sends the
  // request head all the same (Wine's does) still never gets the body, nor is
  // the answer read.
  if (!request.keyPins.empty() && !PinMatches(request.keyPins, ServerKeyPin(handle)))
    run.Fail(HttpFailure::KeyRefused, "");
  for (std::size_t sent = 0; sent < bodySize;) {
    const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(kPiece, bodySize - sent));
    std::copy_n(request.body->data() + sent, piece, exchange->buffer.data());
    run.Step([&] { return WinHttpWriteData(handle, exchange->buffer.data(), piece, nullptr); });
    sent += exchange->size > 0 ? exchange->size : piece;
  }
  run.Step([&] { return WinHttpReceiveResponse(handle, nullptr); });
  const HttpAnswerHead head = AnswerHead(handle);
  // Wine reads whatever line comes first as a status line.
  if (head.version.rfind("HTTP/", 0) != 0 || head.status < 100 || head.status > 999)
    run.Fail(HttpFailure::NotHttp, "no HTTP status line");
  onHead(head);

  std::uint64_t received = 0;
  while (true) {
    run.Step([&] { return WinHttpQueryDataAvailable(handle, nullptr); });
    const DWORD available = std::min(exchange->size, kPiece);
    if (available == 0) break;
    run.Step([&] { return WinHttpReadData(handle, exchange->buffer.data(), available, nullptr); });
    if (exchange->size == 0) break;
    received += exchange->size;
    onBody(exchange->buffer.data(), exchange->size);
  }
  // WinHTTP ends the body quietly when the connection closes early: an answer
  // shorter than its Content-Length is a broken one, not a complete one.
  if (head.contentLength && received != *head.contentLength)
    run.Fail(HttpFailure::ConnectionBroken, "the answer ended after " + std::to_string(received) + " of its " +
                                                std::to_string(*head.contentLength) + " bytes");
}

}  // namespace platform
