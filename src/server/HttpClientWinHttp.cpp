// The transport of THttpClient on WinHTTP: TLS 1.2 only through Schannel,
// certificate errors ignored, no proxy, no redirects, no connection reuse.
#include <windows.h>
#include <winhttp.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdlib>
#include <vector>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/StopSignal.h"
#include "platform/Crypto.h"
#include "server/HttpClient.h"
#include "platform/AsciiText.h"
#include "server/HttpTransport.h"

namespace {

constexpr DWORD kReadChunk = 64 * 1024;

std::wstring Wide(const std::string& text) {
  if (text.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                         nullptr, nullptr);
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length, nullptr, nullptr);
  return text;
}

std::string ErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE |
                                    FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                GetModuleHandleW(L"winhttp.dll"), error, 0, reinterpret_cast<wchar_t*>(&buffer), 0,
                                nullptr);
  std::string text = length > 0 ? Narrow(std::wstring(buffer, length)) : "error " + std::to_string(error);
  if (buffer != nullptr) LocalFree(buffer);
  return platform::TrimText(text);
}

class Internet {
 public:
  explicit Internet(HINTERNET handle = nullptr) : FHandle(handle) {}
  Internet(const Internet&) = delete;
  Internet& operator=(const Internet&) = delete;
  ~Internet() { Close(); }
  HINTERNET Get() const { return FHandle; }
  // Forgets a handle that someone else has closed.
  void Release() { FHandle = nullptr; }
  void Close() {
    if (FHandle != nullptr) WinHttpCloseHandle(FHandle);
    FHandle = nullptr;
  }

 private:
  HINTERNET FHandle;
};

// What the status callback and the stop watcher share with the request.
struct RequestState {
  std::string pins;           // checked pins, "" for none
  std::atomic<bool> connected{false};
  std::atomic<bool> keyRefused{false};
  std::atomic<bool> stopped{false};
};

// The base64 SHA-256 of the DER form of the server certificate's public key
// (its SubjectPublicKeyInfo), as ServerKeyPin names keys.
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
    const platform::Sha256Digest digest = platform::Sha256(encoded, encodedSize);
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

void CALLBACK OnStatus(HINTERNET request, DWORD_PTR context, DWORD status, void*, DWORD) {
  auto* state = reinterpret_cast<RequestState*>(context);
  if (state == nullptr) return;
  if (status == WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER) state->connected = true;
  // The TLS handshake is done and nothing of the request has been sent yet:
  // the one moment to refuse a server whose key is not pinned.
  if (status == WINHTTP_CALLBACK_STATUS_SENDING_REQUEST && !state->pins.empty() &&
      !PinMatches(state->pins, ServerKeyPin(request))) {
    state->keyRefused = true;
    WinHttpCloseHandle(request);
  }
}

std::string QueryText(HINTERNET request, DWORD query) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size, WINHTTP_NO_HEADER_INDEX);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0) return "";
  std::wstring text(size / sizeof(wchar_t), L'\0');
  if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size, WINHTTP_NO_HEADER_INDEX))
    return "";
  text.resize(size / sizeof(wchar_t));
  return Narrow(text);
}

[[noreturn]] void RaiseTransferError(DWORD error, const RequestState& state, int connectTimeout, int readTimeout) {
  if (state.stopped) throw ETransferError("Transfer stopped: the service is stopping");
  if (state.keyRefused)
    throw ETransferError("TLS failure: the server's public key does not match ServerKeyPin");
  const std::string detail = ErrorText(error);
  switch (error) {
    case ERROR_WINHTTP_TIMEOUT:
      if (!state.connected)
        throw ETransferError("Connect timed out after " + std::to_string(connectTimeout) + " ms: " + detail);
      throw ETransferError("Read timed out: no answer from the server within " + std::to_string(readTimeout) + " ms");
    case ERROR_WINHTTP_CANNOT_CONNECT:
      throw ETransferError("Connection refused: " + detail);
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
      throw ETransferError("Host not found: " + detail);
    case ERROR_WINHTTP_SECURE_FAILURE:
    case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
    case ERROR_WINHTTP_SECURE_INVALID_CERT:
    case ERROR_WINHTTP_SECURE_CERT_REVOKED:
    case ERROR_WINHTTP_SECURE_INVALID_CA:
    case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
    case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
    case ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED:
      throw ETransferError("TLS failure: " + detail);
    case ERROR_WINHTTP_CONNECTION_ERROR:
      throw ETransferError("Connection broken: " + detail);
    case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
      throw ETransferError("The server's answer is not HTTP: " + detail);
    case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
      throw ETransferError("Unsupported protocol: " + detail);
    default:
      throw ETransferError("Transfer failed: " + detail);
  }
}

// Closes the request when a stop is requested, which ends the call that waits
// on it (Windows cancels it at once; Wine lets it run to its time-out and the
// request then ends as stopped); the watcher ends with the request.
class StopWatcher {
 public:
  StopWatcher(const TStopSignal* stop, RequestState& state, HINTERNET request) {
    if (stop == nullptr) return;
    FThread = std::thread([this, stop, &state, request] {
      std::unique_lock<std::mutex> hold(FLock);
      while (!FDone) {
        if (stop->Requested()) {
          state.stopped = true;
          WinHttpCloseHandle(request);
          FClosed = true;
          return;
        }
        FChanged.wait_for(hold, std::chrono::milliseconds(100));
      }
    });
  }
  ~StopWatcher() { Finish(); }
  // Ends the watch; afterwards Closed says for good whether the watcher has
  // closed the request (its owner must not close it again).
  void Finish() {
    {
      std::lock_guard<std::mutex> hold(FLock);
      FDone = true;
    }
    FChanged.notify_all();
    if (FThread.joinable()) FThread.join();
  }
  bool Closed() {
    std::lock_guard<std::mutex> hold(FLock);
    return FClosed;
  }

 private:
  std::mutex FLock;
  std::condition_variable FChanged;
  bool FDone = false;
  bool FClosed = false;
  std::thread FThread;
};

}  // namespace

THttpResponse THttpClient::Perform(const std::string& url, const std::string* body, const std::string& contentType,
                                   const TBodySink* sink) {
  RequestState state;
  state.pins = CheckRequest(url, FStop, FTLS, FPinnedPublicKey);

  const std::wstring wideUrl = Wide(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = parts.dwSchemeLength = 1;
  if (!WinHttpCrackUrl(wideUrl.c_str(), static_cast<DWORD>(wideUrl.size()), 0, &parts))
    throw ETransferError("Transfer failed: the URL " + url + " cannot be read");
  const bool https = parts.nScheme == INTERNET_SCHEME_HTTPS;
  if (https && !FTLS) throw ETransferError("Unsupported protocol (https needs the TLS handler): " + url);
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring path(parts.lpszUrlPath, parts.dwUrlPathLength);
  path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (path.empty()) path = L"/";

  Internet session(WinHttpOpen(L"DataCollector", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0));
  if (session.Get() == nullptr) throw ETransferError("The HTTP client library cannot be initialised");
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
  WinHttpSetOption(session.Get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
  // Resolving and connecting share the connect time-out; sending and every
  // wait for the answer have the read time-out.
  WinHttpSetTimeouts(session.Get(), FConnectTimeout, FConnectTimeout, FReadTimeout, FReadTimeout);

  Internet connection(WinHttpConnect(session.Get(), host.c_str(), parts.nPort, 0));
  if (connection.Get() == nullptr) RaiseTransferError(GetLastError(), state, FConnectTimeout, FReadTimeout);
  Internet request(WinHttpOpenRequest(connection.Get(), body != nullptr ? L"POST" : L"GET", path.c_str(), nullptr,
                                      WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                      https ? WINHTTP_FLAG_SECURE : 0));
  if (request.Get() == nullptr) RaiseTransferError(GetLastError(), state, FConnectTimeout, FReadTimeout);
  HINTERNET r = request.Get();

  WinHttpSetTimeouts(r, FConnectTimeout, FConnectTimeout, FReadTimeout, FReadTimeout);
  DWORD redirects = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
  WinHttpSetOption(r, WINHTTP_OPTION_REDIRECT_POLICY, &redirects, sizeof redirects);
  DWORD noKeepAlive = WINHTTP_DISABLE_KEEP_ALIVE;
  WinHttpSetOption(r, WINHTTP_OPTION_DISABLE_FEATURE, &noKeepAlive, sizeof noKeepAlive);
  if (https) {
    DWORD ignore = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                   SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
    WinHttpSetOption(r, WINHTTP_OPTION_SECURITY_FLAGS, &ignore, sizeof ignore);
  }
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&state);
  WinHttpSetOption(r, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
  WinHttpSetStatusCallback(r, &OnStatus,
                           WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER | WINHTTP_CALLBACK_FLAG_SEND_REQUEST, 0);

  StopWatcher watcher(FStop, state, r);
  // The request handle belongs to whoever closed it first: the watcher, the
  // pin check, or this function's end.
  struct TRelease {
    Internet& request;
    StopWatcher& watcher;
    RequestState& state;
    ~TRelease() {
      watcher.Finish();
      if (watcher.Closed() || state.keyRefused) request.Release();
    }
  };
  auto fail = [&] { RaiseTransferError(GetLastError(), state, FConnectTimeout, FReadTimeout); };

  std::wstring headers;
  if (body != nullptr) headers = L"Content-Type: " + Wide(contentType) + L"\r\n";
  {
    TRelease release{request, watcher, state};
    const DWORD bodySize = body != nullptr ? static_cast<DWORD>(body->size()) : 0;
    if (!WinHttpSendRequest(r, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : headers.c_str(),
                            headers.empty() ? 0 : static_cast<DWORD>(-1L),
                            body != nullptr ? const_cast<char*>(body->data()) : WINHTTP_NO_REQUEST_DATA, bodySize,
                            bodySize, 0) ||
        !WinHttpReceiveResponse(r, nullptr))
      fail();

    DWORD status = 0;
    DWORD size = sizeof status;
    WinHttpQueryHeaders(r, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                        &status, &size, WINHTTP_NO_HEADER_INDEX);
    if (status < 200 || status > 299) {
      const std::string version = QueryText(r, WINHTTP_QUERY_VERSION);
      const std::string reason = QueryText(r, WINHTTP_QUERY_STATUS_TEXT);
      std::string line = version + " " + std::to_string(status);
      if (!reason.empty()) line += " " + reason;
      throw ETransferError("Server answered with an error status: " + line);
    }
    THttpResponse response;
    response.Status = static_cast<int>(status);
    response.ContentType = QueryText(r, WINHTTP_QUERY_CONTENT_TYPE);
    // An answer that announces its length is refused before its body is read;
    // a streamed body is bounded by its sink.
    const std::string length = QueryText(r, WINHTTP_QUERY_CONTENT_LENGTH);
    const auto tooLarge = [] {
      return ETransferError("Answer too large: the server sent more than " + std::to_string(kMaxAnswerBytes) +
                            " bytes");
    };
    if (sink == nullptr && !length.empty() && std::strtoull(length.c_str(), nullptr, 10) > kMaxAnswerBytes)
      throw tooLarge();
    std::vector<char> chunk(kReadChunk);
    while (true) {
      DWORD read = 0;
      if (!WinHttpReadData(r, chunk.data(), kReadChunk, &read)) fail();
      if (read == 0) break;
      if (sink != nullptr) {
        (*sink)(chunk.data(), read);
        continue;
      }
      if (read > kMaxAnswerBytes - response.Body.size()) throw tooLarge();
      if (response.Body.size() + read > response.Body.capacity())
        response.Body.reserve(
            std::min(std::max(response.Body.capacity() * 2, response.Body.size() + read), kMaxAnswerBytes));
      response.Body.append(chunk.data(), read);
    }
    if (state.stopped) throw ETransferError("Transfer stopped: the service is stopping");
    return response;
  }
}
