// Pinning the server's public key (ServerKeyPin) for the collector's client
// and the updater's download client, against the test statistics server.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "server/HttpClient.h"
#include "server/UpdaterDownload.h"
#include "support/KeyPin.h"
#include "support/StatsServer.h"

namespace {

using ::testing::HasSubstr;

// A well-formed pin of a key that no test server has.
const std::string kOtherPin = "sha256//" + std::string(43, 'A') + "=";

class KeyPinTest : public ::testing::Test {
 protected:
  KeyPinTest() : pin(PublicKeyPinOf(server)) {
    std::ofstream(server.files() / "DCSetup.bin", std::ios::binary) << "updater bytes";
  }

  std::string Post(const std::string& pins, const std::string& url) {
    THttpClient client;
    client.EnableTLS();
    client.SetPinnedPublicKey(pins);
    return PostJSONDocument(client, url, JSONRequestBody("{\"Command\":\"Authorize\"}"));
  }

  StatsServer server;
  std::string pin;
};

TEST_F(KeyPinTest, MatchingPinLetsPostsAndDownloadsThrough) {
  for (const std::string& pins : {pin, kOtherPin + ";" + pin, " " + pin + " ; " + kOtherPin}) {
    SCOPED_TRACE(pins);
    server.enqueue("{\"Authenticated\":true}");
    EXPECT_EQ(Post(pins, server.url()), "{\"Authenticated\":true}");
    EXPECT_EQ(TUpdaterDownload(nullptr, pins).Fetch(server.url("/files/DCSetup.bin")).Body, "updater bytes");
  }
}

TEST_F(KeyPinTest, OtherKeyRefusesPostsAndDownloadsBeforeAnyRequestIsSent) {
  try {
    Post(kOtherPin, server.url());
    ADD_FAILURE() << "posted to a server with another key";
  } catch (const ETransferError& e) {
    EXPECT_THAT(e.what(), HasSubstr("TLS failure: the server's public key does not match ServerKeyPin"));
  }
  try {
    TUpdaterDownload(nullptr, kOtherPin).Fetch(server.url("/files/DCSetup.bin"));
    ADD_FAILURE() << "downloaded from a server with another key";
  } catch (const ETransferError& e) {
    EXPECT_THAT(e.what(), HasSubstr("does not match ServerKeyPin"));
  }
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(KeyPinTest, MalformedPinsAndUnencryptedUrlsAreRefused) {
  StatsServer plain(StatsServer::Options{.tls = false, .tls13Only = false});
  const struct {
    std::string pins;
    std::string url;
    const char* message;
  } cases[] = {
      {"sha256//tooShort=", server.url(), "ServerKeyPin is not a list"},
      {pin.substr(8), server.url(), "ServerKeyPin is not a list"},
      {pin + ";", server.url(), "ServerKeyPin is not a list"},
      {"/etc/ssl/certs/server.pem", server.url(), "ServerKeyPin is not a list"},
      {pin, plain.url(), "ServerKeyPin is set: the unencrypted URL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pins + " " + c.url);
    EXPECT_THAT([&] { Post(c.pins, c.url); },
                ::testing::ThrowsMessage<ETransferError>(HasSubstr(c.message)));
  }
  EXPECT_THAT([&] { TUpdaterDownload(nullptr, pin).Fetch(plain.url("/files/DCSetup.bin?https")); },
              ::testing::ThrowsMessage<ETransferError>(HasSubstr("unencrypted URL")));
  EXPECT_TRUE(server.requests().empty());
  EXPECT_TRUE(plain.requests().empty());
}

}  // namespace
