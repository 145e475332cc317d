// The WinHTTP transport of THttpClient against a small HTTP server on
// loopback in the test itself (the test statistics server needs OpenSSL,
// which the Windows build does not have).
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/StopSignal.h"
#include "server/HttpClient.h"
#include "support/KeyPin.h"
#include "support/StatsServer.h"

namespace {

// Accepts one connection, reads the request head (and the body its
// Content-Length names) and answers with `answer`, or keeps silent for
// `silence` first.
class OneShotServer {
 public:
  OneShotServer(std::string answer, std::chrono::milliseconds silence = std::chrono::milliseconds(0)) {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int size = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    listen(listener_, 1);
    thread_ = std::thread([this, answer = std::move(answer), silence] {
      SOCKET client = accept(listener_, nullptr, nullptr);
      if (client == INVALID_SOCKET) return;
      std::string received;
      char buffer[4096];
      std::size_t need = std::string::npos;
      while (need == std::string::npos || received.size() < need) {
        const int n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        received.append(buffer, n);
        const std::size_t head = received.find("\r\n\r\n");
        if (head != std::string::npos && need == std::string::npos) {
          const std::size_t length = received.find("Content-Length: ");
          need = head + 4 + (length != std::string::npos && length < head ? std::stoul(received.substr(length + 16)) : 0);
        }
      }
      request = received;
      std::this_thread::sleep_for(silence);
      send(client, answer.data(), static_cast<int>(answer.size()), 0);
      shutdown(client, SD_SEND);
      closesocket(client);
    });
  }
  ~OneShotServer() {
    closesocket(listener_);
    thread_.join();
  }
  std::string Url(const std::string& path = "/datacollector.php") const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  std::string request;

 private:
  SOCKET listener_;
  int port_ = 0;
  std::thread thread_;
};

std::string Answer(const std::string& statusLine, const std::string& contentType, const std::string& body) {
  return statusLine + "\r\nContent-Type: " + contentType + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

std::string ErrorOf(const std::function<void()>& request) {
  try {
    request();
  } catch (const ETransferError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(WinHttpTransportTest, PostsTheBodyAndReadsStatusTypeAndAnswer) {
  OneShotServer server(Answer("HTTP/1.1 200 OK", "text/json; charset=UTF-8", "{\"Result\":\"Zoë\"}"));
  THttpClient client;
  const std::string body = JSONRequestBody("{\"Name\":\"Zoë\"}");
  const THttpResponse response = client.Post(server.Url(), body, kJSONContentType);
  EXPECT_EQ(response.Status, 200);
  EXPECT_EQ(response.ContentType, "text/json; charset=UTF-8");
  EXPECT_EQ(DecodeResponseText(response), "{\"Result\":\"Zoë\"}");
  EXPECT_EQ(server.request.rfind("POST /datacollector.php HTTP/1.1\r\n", 0), 0u) << server.request;
  EXPECT_NE(server.request.find("Content-Type: text/json; charset=ISO-8859-1\r\n"), std::string::npos);
  EXPECT_EQ(server.request.substr(server.request.size() - body.size()), "{\"Name\":\"Zo\xEB\"}");
}

// The body goes out and the answer comes in through a buffer of 64 KiB:
// sizes around its edge and far past it arrive whole and in order, kept or
// streamed.
TEST(WinHttpTransportTest, BodiesOfEverySizeGoOutAndComeBackWhole) {
  constexpr std::size_t kPiece = 64 * 1024;
  for (const std::size_t size : {std::size_t{1}, kPiece - 1, kPiece, kPiece + 1, 3 * kPiece + 7}) {
    SCOPED_TRACE(size);
    std::string text;
    for (std::size_t i = 0; text.size() < size; ++i) text += "Zoë Müller " + std::to_string(i) + ";";
    std::string body = JSONRequestBody(text);
    body.resize(size);
    {
      OneShotServer server(Answer("HTTP/1.1 200 OK", "text/plain", body));
      THttpClient client;
      const THttpResponse response = client.Post(server.Url(), body, kJSONContentType);
      EXPECT_EQ(server.request.size() - server.request.find("\r\n\r\n") - 4, size);
      EXPECT_TRUE(server.request.substr(server.request.size() - size) == body);
      EXPECT_TRUE(response.Body == body);
    }
    {
      OneShotServer server(Answer("HTTP/1.1 200 OK", "application/octet-stream", body));
      THttpClient client;
      std::string streamed;
      std::size_t pieces = 0;
      const THttpResponse response = client.GetStreamed(server.Url(), [&](const char* data, std::size_t length) {
        streamed.append(data, length);
        ++pieces;
      });
      EXPECT_TRUE(response.Body.empty());
      EXPECT_TRUE(streamed == body);
      EXPECT_GE(pieces, (size + kPiece - 1) / kPiece);
    }
  }
  // What the sink raises ends the request and comes out as it is.
  OneShotServer server(Answer("HTTP/1.1 200 OK", "application/octet-stream", std::string(3 * kPiece, 'x')));
  THttpClient client;
  EXPECT_THROW(client.GetStreamed(server.Url(), [](const char*, std::size_t) { throw std::length_error("full"); }),
               std::length_error);
}

TEST(WinHttpTransportTest, FailuresAreTransferErrorsSayingWhatFailed) {
  struct Case {
    const char* name;
    std::string answer;
    std::string expected;  // the whole message, or how it begins when it ends in "..."
  };
  const Case cases[] = {
      {"error status", Answer("HTTP/1.1 503 Service Unavailable", "text/plain", "busy"),
       "Server answered with an error status: HTTP/1.1 503 Service Unavailable"},
      {"redirect not followed", "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/\r\nContent-Length: 0\r\n\r\n",
       "Server answered with an error status: HTTP/1.1 302 Found"},
      {"announced too large", "HTTP/1.1 200 OK\r\nContent-Length: 40000000\r\n\r\nx",
       "Answer too large: the server sent more than 33554432 bytes"},
      {"too large as it arrives", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + std::string(kMaxAnswerBytes + 1, 'x'),
       "Answer too large: the server sent more than 33554432 bytes"},
      {"cut short", "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n{\"Result\":", "Connection broken..."},
      {"not HTTP", "SSH-2.0-OpenSSH_9.2\r\n", "The server's answer is not HTTP..."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OneShotServer server(c.answer);
    THttpClient client;
    const std::string error = ErrorOf([&] { client.Get(server.Url()); });
    if (c.expected.size() > 3 && c.expected.substr(c.expected.size() - 3) == "...")
      EXPECT_EQ(error.substr(0, c.expected.size() - 3), c.expected.substr(0, c.expected.size() - 3)) << error;
    else
      EXPECT_EQ(error, c.expected);
  }
  THttpClient client;
  EXPECT_EQ(ErrorOf([&] { client.Get("https://127.0.0.1:1/"); }).rfind("Unsupported protocol (https needs", 0), 0u);
  client.SetPinnedPublicKey("sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=");
  client.EnableTLS();
  EXPECT_EQ(ErrorOf([&] { client.Get("http://127.0.0.1:1/"); }),
            "ServerKeyPin is set: the unencrypted URL http://127.0.0.1:1/ is refused");
  THttpClient plain;
  plain.SetConnectTimeout(2000);
  // Port 1 on loopback: nothing listens there.
  EXPECT_EQ(ErrorOf([&] { plain.Get("http://127.0.0.1:1/"); }).rfind("Connection refused: ", 0), 0u);
}

TEST(WinHttpTransportTest, SilentServersTimeOutAndAStopEndsTheWait) {
  {
    OneShotServer server(Answer("HTTP/1.1 200 OK", "text/plain", "late"), std::chrono::milliseconds(3000));
    THttpClient client;
    client.SetReadTimeout(500);
    EXPECT_EQ(ErrorOf([&] { client.Get(server.Url()); }), "Read timed out: no answer from the server within 500 ms");
  }
  {
    // The stop ends the wait long before the read time-out, let alone the
    // server's answer.
    OneShotServer server(Answer("HTTP/1.1 200 OK", "text/plain", "late"), std::chrono::milliseconds(6000));
    TStopSignal stop;
    THttpClient client(&stop);
    client.SetReadTimeout(2000);
    std::thread stopper([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      stop.Request();
    });
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(ErrorOf([&] { client.Get(server.Url()); }), "Transfer stopped: the service is stopping");
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(1500));
    stopper.join();
    EXPECT_EQ(ErrorOf([&] { client.Get(server.Url()); }), "Transfer stopped: the service is stopping");
  }
}

// Windows sends nothing to a server whose key is not pinned: the request is
// closed once the handshake shows the key. Wine's WinHTTP sends the request's
// head all the same; the body, and with it the site's data, must still never
// go out, and the answer is never read.
TEST(WinHttpTransportTest, AServerWhoseKeyIsNotPinnedNeverGetsTheBody) {
  StatsServer server;
  server.setDefault(StatsServer::Answer{});
  THttpClient client;
  client.EnableTLS();
  client.SetPinnedPublicKey("sha256//" + std::string(43, 'A') + "=");
  const std::string body = JSONRequestBody("{\"Sales\":[{\"Employee\":\"Zoë Müller\"}]}");
  EXPECT_EQ(ErrorOf([&] { client.Post(server.url(), body, kJSONContentType); }),
            "TLS failure: the server's public key does not match ServerKeyPin");
  for (const StatsServer::Request& request : server.requests()) EXPECT_EQ(request.body, "");
  // The same client with the server's own pin gets through.
  client.SetPinnedPublicKey(PublicKeyPinOf(server));
  EXPECT_EQ(client.Post(server.url(), body, kJSONContentType).Status, 200);
  EXPECT_EQ(server.requests().back().body, body);
}

}  // namespace
