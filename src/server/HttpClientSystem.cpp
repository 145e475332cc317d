// The transport of THttpClient on the system's own HTTP library
// (platform/HttpRequest.h: WinHTTP with Schannel on Windows).
#include <algorithm>
#include <string>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/StopSignal.h"
#include "platform/AsciiText.h"
#include "platform/HttpRequest.h"
#include "server/HttpClient.h"
#include "server/HttpTransport.h"

namespace {

std::string WithDetail(const std::string& text, const std::string& detail) {
  return detail.empty() ? text : text + ": " + detail;
}

ETransferError TransferErrorOf(const platform::HttpRequestError& error, const std::string& url, int connectTimeout,
                               int readTimeout) {
  const std::string detail = error.what();
  switch (error.Failure()) {
    case platform::HttpFailure::Stopped:
      return ETransferError("Transfer stopped: the service is stopping");
    case platform::HttpFailure::KeyRefused:
      return ETransferError("TLS failure: the server's public key does not match ServerKeyPin");
    case platform::HttpFailure::ConnectTimedOut:
      return ETransferError(WithDetail("Connect timed out after " + std::to_string(connectTimeout) + " ms", detail));
    case platform::HttpFailure::ReadTimedOut:
      return ETransferError("Read timed out: no answer from the server within " + std::to_string(readTimeout) +
                            " ms");
    case platform::HttpFailure::ConnectionRefused:
      return ETransferError(WithDetail("Connection refused", detail));
    case platform::HttpFailure::HostNotFound:
      return ETransferError(WithDetail("Host not found", detail));
    case platform::HttpFailure::TlsFailed:
      return ETransferError(WithDetail("TLS failure", detail));
    case platform::HttpFailure::ConnectionBroken:
      return ETransferError(WithDetail("Connection broken", detail));
    case platform::HttpFailure::NotHttp:
      return ETransferError(WithDetail("The server's answer is not HTTP", detail));
    case platform::HttpFailure::UnsupportedProtocol:
      return ETransferError("Unsupported protocol: " + url);
    case platform::HttpFailure::BadUrl:
    case platform::HttpFailure::Failed:
      break;
  }
  return ETransferError(WithDetail("Transfer failed", detail));
}

ETransferError TooLarge() {
  return ETransferError("Answer too large: the server sent more than " + std::to_string(kMaxAnswerBytes) + " bytes");
}

}  // namespace

THttpResponse THttpClient::Perform(const std::string& url, const std::string* body, const std::string& contentType,
                                   const TBodySink* sink) {
  platform::HttpRequest request;
  request.keyPins = CheckRequest(url, FStop, FTLS, FPinnedPublicKey);
  if (!FTLS && platform::LowerAscii(url).rfind("https://", 0) == 0)
    throw ETransferError("Unsupported protocol (https needs the TLS handler): " + url);
  request.url = url;
  request.body = body;
  request.contentType = contentType;
  request.connectTimeoutMs = FConnectTimeout;
  request.readTimeoutMs = FReadTimeout;
  if (FStop != nullptr) request.stopRequested = [stop = FStop] { return stop->Requested(); };

  THttpResponse response;
  const auto onHead = [&](const platform::HttpAnswerHead& head) {
    if (head.status < 200 || head.status > 299) {
      std::string line = head.version + " " + std::to_string(head.status);
      if (!head.reason.empty()) line += " " + head.reason;
      throw ETransferError("Server answered with an error status: " + line);
    }
    response.Status = head.status;
    response.ContentType = head.contentType;
    // An answer that announces its length is refused before its body is
    // read; a streamed body is bounded by its sink.
    if (sink == nullptr && head.contentLength && *head.contentLength > kMaxAnswerBytes) throw TooLarge();
  };
  const auto onBody = [&](const char* data, std::size_t size) {
    if (sink != nullptr) {
      (*sink)(data, size);
      return;
    }
    if (size > kMaxAnswerBytes - response.Body.size()) throw TooLarge();
    if (response.Body.size() + size > response.Body.capacity())
      response.Body.reserve(
          std::min(std::max(response.Body.capacity() * 2, response.Body.size() + size), kMaxAnswerBytes));
    response.Body.append(data, size);
  };
  try {
    platform::PerformHttpRequest(request, onHead, onBody);
  } catch (const platform::HttpRequestError& error) {
    throw TransferErrorOf(error, url, FConnectTimeout, FReadTimeout);
  }
  return response;
}
