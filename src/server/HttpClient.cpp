#include "server/HttpClient.h"

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
#include "server/HttpTransport.h"

const char* const kJSONContentType = "text/json; charset=ISO-8859-1";

std::string CheckedKeyPins(const std::string& pins) {
  std::string normalized;
  size_t start = 0;
  while (start <= pins.size()) {
    size_t end = pins.find(';', start);
    if (end == std::string::npos) end = pins.size();
    const std::string pin = platform::TrimText(pins.substr(start, end - start));
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

namespace {

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

std::string CheckRequest(const std::string& url, const TStopSignal* stop, bool tls, const std::string& pins) {
  if (stop != nullptr && stop->Requested()) throw ETransferError("Transfer stopped: the service is stopping");
  if (pins.empty()) return "";
  const std::string checked = CheckedKeyPins(pins);
  if (!tls || platform::LowerAscii(url).rfind("https://", 0) != 0) {
    throw ETransferError("ServerKeyPin is set: the unencrypted URL " + url + " is refused");
  }
  return checked;
}

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

std::string JSONRequestBody(const std::string& text) { return Utf8ToSystemAnsi(text); }

void MakeJSONRequestBody(std::string& text) { Utf8ToSystemAnsiInPlace(text); }

std::string DecodeResponseText(const THttpResponse& response) {
  const std::string type = platform::LowerAscii(response.ContentType);
  std::string charset;
  if (const auto at = type.find("charset="); at != std::string::npos) {
    charset = type.substr(at + 8);
    charset = platform::TrimText(charset.substr(0, charset.find(';')));
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
