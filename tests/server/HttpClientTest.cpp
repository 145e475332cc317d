#include "server/HttpClient.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/StopSignal.h"
#include "support/StatsServer.h"

namespace {

using std::chrono::steady_clock;

std::unique_ptr<THttpClient> TlsClient(const TStopSignal* stop = nullptr) {
  auto client = std::make_unique<THttpClient>(stop);
  client->EnableTLS();
  return client;
}

// The message of the ETransferError that f raises; fails the test when f
// raises nothing or something else.
template <class F>
std::string TransferErrorOf(F&& f) {
  try {
    f();
  } catch (const ETransferError& e) {
    return e.what();
  }
  ADD_FAILURE() << "no ETransferError raised";
  return "";
}

class HttpClientTest : public ::testing::Test {
 protected:
  StatsServer server;
};

TEST_F(HttpClientTest, DocumentTravelsInWindows1252WithTheJsonContentType) {
  server.enqueue(R"({"Authenticated":true})");
  THttpClient client(nullptr);
  client.EnableTLS();
  const std::string text = "{\"Name\":\"Caf\xC3\xA9 \xE2\x82\xAC \xE4\xB8\xAD\"}";  // "Café € 中"
  const std::string answer = PostJSONDocument(client, server.url(), JSONRequestBody(text));
  EXPECT_EQ(answer, R"({"Authenticated":true})");

  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/datacollector.php");
  EXPECT_EQ(requests[0].header("Content-Type"), "text/json; charset=ISO-8859-1");
  // é is the single byte E9, € is 80, and what the code page lacks is "?".
  EXPECT_EQ(requests[0].body, std::string("{\"Name\":\"Caf\xE9 \x80 ?\"}"));
  EXPECT_EQ(requests[0].tls, "TLSv1.2");
  EXPECT_EQ(requests[0].header("Expect"), "");
}

TEST_F(HttpClientTest, EveryRequestOpensANewConnection) {
  auto client = TlsClient();
  for (int i = 0; i < 3; ++i) PostJSONDocument(*client, server.url(), "{}");
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_NE(requests[0].clientPort, requests[1].clientPort);
  EXPECT_NE(requests[1].clientPort, requests[2].clientPort);
}

TEST_F(HttpClientTest, AnswerIsDecodedByTheCharsetOfItsContentType) {
  struct Case {
    const char* contentType;
    const char* charset;  // how the server encodes the body
    const char* body;     // UTF-8
    const char* expected;
  };
  const Case cases[] = {
      {"text/json; charset=utf-8", "utf-8", "{\"E\":\"\xC3\xA9\"}", "{\"E\":\"\xC3\xA9\"}"},
      {"text/json; charset=ISO-8859-1", "latin-1", "{\"E\":\"\xC3\xA9\"}", "{\"E\":\"\xC3\xA9\"}"},
      {"text/html; charset=\"windows-1252\"", "cp1252", "\xE2\x82\xAC", "\xE2\x82\xAC"},
      {"application/json", "utf-8", "[\"\xC3\xA9\"]", "[\"\xC3\xA9\"]"},
      {"text/plain", "latin-1", "caf\xC3\xA9", "caf\xC3\xA9"},
  };
  auto client = TlsClient();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contentType);
    StatsServer::Answer a;
    a.contentType = c.contentType;
    a.charset = c.charset;
    a.body = c.body;
    server.enqueue(a);
    EXPECT_EQ(PostJSONDocument(*client, server.url(), "{}"), c.expected);
  }
}

TEST(DecodeResponseTextTest, MalformedUtf8AndUnknownCharsetsStillGiveText) {
  struct Case {
    const char* contentType;
    std::string body;
    std::string text;
  };
  const Case cases[] = {
      {"text/json; charset=utf-8", "{\"A\":\"\xE9\"}", "{\"A\":\"\xEF\xBF\xBD\"}"},
      {"text/json; charset=utf-8", "\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"text/json; charset=UTF-8", "\xEF\xBB\xBF{}", "{}"},
      {"text/json; charset=koi8-r", "\xE9", "\xC3\xA9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contentType);
    EXPECT_EQ(DecodeResponseText(THttpResponse{200, c.contentType, c.body}), c.text);
  }
}

TEST_F(HttpClientTest, FailedTransfersSayWhatFailed) {
  struct Case {
    const char* name;
    StatsServer::Answer answer;
    const char* message;
  };
  StatsServer::Answer status500;
  status500.status = 500;
  status500.body = "{\"Error\":\"down\"}";
  StatsServer::Answer redirect;
  redirect.status = 302;
  StatsServer::Answer slow;
  slow.delaySeconds = 4;
  StatsServer::Answer reset;
  reset.reset = true;
  const Case cases[] = {
      {"error status", status500, "error status: HTTP/1.1 500"},
      {"redirect not followed", redirect, "error status: HTTP/1.1 302"},
      {"read time-out", slow, "Read timed out"},
      {"connection reset", reset, "Connection broken"},
  };
  auto client = TlsClient();
  client->SetReadTimeout(1000);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.enqueue(c.answer);
    const auto start = steady_clock::now();
    const std::string message = TransferErrorOf([&] { PostJSONDocument(*client, server.url(), "{}"); });
    EXPECT_NE(message.find(c.message), std::string::npos) << message;
    EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(3));
  }
}

TEST(HttpClientFailureTest, RefusedConnection) {
  int port = 0;
  {
    StatsServer gone;
    port = gone.port();
  }
  auto client = TlsClient();
  const std::string message = TransferErrorOf(
      [&] { PostJSONDocument(*client, "https://127.0.0.1:" + std::to_string(port) + "/datacollector.php", "{}"); });
  EXPECT_NE(message.find("Connection refused"), std::string::npos) << message;
}

TEST(HttpClientFailureTest, ServerThatOnlySpeaksTls13IsATlsFailure) {
  StatsServer::Options options;
  options.tls13Only = true;
  StatsServer server(options);
  auto client = TlsClient();
  const std::string message = TransferErrorOf([&] { PostJSONDocument(*client, server.url(), "{}"); });
  EXPECT_NE(message.find("TLS failure"), std::string::npos) << message;
  EXPECT_EQ(message.find("ServerKeyPin"), std::string::npos) << message;
  EXPECT_TRUE(server.requests().empty());
}

TEST(HttpClientFailureTest, ServerThatNeverAnswersTheHandshakeIsAConnectTimeOut) {
  StatsServer::Options options;
  options.silent = true;
  StatsServer server(options);
  auto client = TlsClient();
  client->SetConnectTimeout(800);
  const auto start = steady_clock::now();
  const std::string message = TransferErrorOf([&] { PostJSONDocument(*client, server.url(), "{}"); });
  EXPECT_NE(message.find("Connect timed out after 800 ms"), std::string::npos) << message;
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(HttpClientFailureTest, HttpsNeedsTheTlsHandler) {
  StatsServer server;
  THttpClient client(nullptr);
  const std::string message = TransferErrorOf([&] { PostJSONDocument(client, server.url(), "{}"); });
  EXPECT_NE(message.find("Unsupported protocol"), std::string::npos) << message;
}

TEST(HttpClientFailureTest, AnAnswerThatIsNotHttpSaysSo) {
  StatsServer server;
  StatsServer::Answer garbage;
  garbage.raw = true;
  garbage.body = "\x16\x03 not a web server\r\n";
  server.enqueue(garbage);
  auto client = TlsClient();
  const std::string message = TransferErrorOf([&] { PostJSONDocument(*client, server.url(), "{}"); });
  EXPECT_NE(message.find("The server's answer is not HTTP"), std::string::npos) << message;
  EXPECT_EQ(message.find("TLS handler"), std::string::npos) << message;
}

// AddressSanitizer keeps freed blocks aside (its quarantine) and adds shadow
// memory, so the peak of a sanitizer build says nothing about the client's.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kPeakMemoryIsMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kPeakMemoryIsMeaningful = false;
#else
constexpr bool kPeakMemoryIsMeaningful = true;
#endif
#else
constexpr bool kPeakMemoryIsMeaningful = true;
#endif

long PeakMemoryKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

TEST(HttpClientLimitTest, AnswersBeyond32MiBAreRefusedWithoutBeingHeldWhole) {
  StatsServer server;
  {
    std::ofstream big(server.files() / "big.txt", std::ios::binary);
    const std::string block(1024 * 1024, 'x');
    for (int i = 0; i < 64; ++i) big << block;
  }
  auto client = TlsClient();
  const long before = PeakMemoryKiB();
  for (const bool announced : {true, false}) {
    SCOPED_TRACE(announced ? "with Content-Length" : "without Content-Length");
    StatsServer::Answer huge;
    huge.file = "big.txt";
    huge.noLength = !announced;
    server.enqueue(huge);
    const std::string message = TransferErrorOf([&] { PostJSONDocument(*client, server.url(), "{}"); });
    EXPECT_EQ(message, "Answer too large: the server sent more than 33554432 bytes");
  }
  // A refused answer never takes more than the limit and a little.
  if (kPeakMemoryIsMeaningful) {
    EXPECT_LT(PeakMemoryKiB() - before, 40 * 1024);
  }

  // At the limit: taken whole.
  {
    std::ofstream edge(server.files() / "edge.txt", std::ios::binary);
    edge << std::string(kMaxAnswerBytes, 'y');
  }
  StatsServer::Answer edge;
  edge.file = "edge.txt";
  edge.noLength = true;
  server.enqueue(edge);
  EXPECT_EQ(client->Post(server.url(), "{}", kJSONContentType).Body.size(), kMaxAnswerBytes);
}

TEST(HttpClientFailureTest, PlainHttpWorksWithoutTls) {
  StatsServer::Options options;
  options.tls = false;
  StatsServer server(options);
  server.enqueue("{\"ok\":1}");
  THttpClient client(nullptr);
  EXPECT_EQ(PostJSONDocument(client, server.url(), "{}"), "{\"ok\":1}");
}

TEST(HttpClientStopTest, StopEndsAWaitOnASlowServerPromptly) {
  StatsServer server;
  StatsServer::Answer slow;
  slow.delaySeconds = 20;
  server.enqueue(slow);
  TStopSignal stop;
  auto client = TlsClient(&stop);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    stop.Request();
  });
  const auto start = steady_clock::now();
  const std::string message = TransferErrorOf([&] { PostJSONDocument(*client, server.url(), "{}"); });
  const auto elapsed = steady_clock::now() - start;
  stopper.join();
  EXPECT_NE(message.find("stopped"), std::string::npos) << message;
  EXPECT_LT(elapsed, std::chrono::milliseconds(2500));
  // A stopped client starts nothing new.
  EXPECT_THROW(PostJSONDocument(*client, server.url(), "{}"), ETransferError);
}

TEST(HttpClientGetTest, GetReturnsTheBytesOfAServedFile) {
  StatsServer server;
  const std::string bytes("MZ\0\x01\xFF", 5);
  {
    std::ofstream out(server.files() / "DCSetup.exe", std::ios::binary);
    out << bytes;
  }
  auto client = TlsClient();
  const THttpResponse r = client->Get(server.url("/files/DCSetup.exe"));
  EXPECT_EQ(r.Status, 200);
  EXPECT_EQ(r.Body, bytes);
  EXPECT_THROW(client->Get(server.url("/files/missing.exe")), ETransferError);
}

}  // namespace
