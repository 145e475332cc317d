// The updater's download client against the test statistics server, and the
// saving of the updater file.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "platform/Files.h"
#include "server/UpdaterDownload.h"
#include "support/StatsServer.h"
#include "support/TempDir.h"

namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(UpdaterDownloadTest, TlsHandlerWhenTheUrlContainsHttpsAnywhere) {
  const struct {
    const char* url;
    bool tls;
  } cases[] = {
      {"https://updates.example.com/DCSetup.exe", true},
      {"HTTPS://updates.example.com/DCSetup.exe", true},
      {"hTtPs://updates.example.com/DCSetup.exe", true},
      {"http://updates.example.com/https/DCSetup.exe", true},
      {"http://updates.example.com/DCSetup.exe?from=Https", true},
      {"http://updates.example.com/DCSetup.exe", false},
      {"http://http-s.example.com/", false},
  };
  for (const auto& c : cases) EXPECT_EQ(UpdaterUsesTLS(c.url), c.tls) << c.url;
}

TEST(UpdaterDownloadTest, UpdaterFileLiesInTheProgramFolder) {
  EXPECT_EQ(UpdaterFileName("/opt/dc"), "/opt/dc/DCSetup.exe");
  EXPECT_EQ(UpdaterFileName("/opt/dc/"), "/opt/dc/DCSetup.exe");
}

TEST(UpdaterDownloadTest, FetchReturnsTheFileBytesOverTls12) {
  StatsServer server;
  std::string bytes(300000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  WriteBytes(server.files() / "DCSetup.bin", bytes);

  const THttpResponse response = TUpdaterDownload().Fetch(server.url("/files/DCSetup.bin"));
  EXPECT_EQ(response.Status, 200);
  EXPECT_EQ(response.Body, bytes);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].path, "/files/DCSetup.bin");
  EXPECT_EQ(requests[0].tls, "TLSv1.2");
}

TEST(UpdaterDownloadTest, PlainUrlMentioningHttpsStillWorksWithTheTlsHandler) {
  StatsServer server(StatsServer::Options{.tls = false, .tls13Only = false});
  WriteBytes(server.files() / "DCSetup.bin", "MZ updater");
  const THttpResponse response = TUpdaterDownload().Fetch(server.url("/files/https/DCSetup.bin"));
  EXPECT_EQ(response.Body, "MZ updater");
}

TEST(UpdaterDownloadTest, FailedDownloadsRaiseTransferErrors) {
  StatsServer server;
  StatsServer tls13(StatsServer::Options{.tls = true, .tls13Only = true});
  const struct {
    std::string url;
    const char* message;
  } cases[] = {
      {server.url("/files/missing.bin"), "Server answered with an error status: HTTP/1.1 404"},
      {tls13.url("/files/DCSetup.bin"), "TLS failure"},
      {"https://127.0.0.1:1/DCSetup.exe", "Connection refused"},
      {"http://127.0.0.1:1/DCSetup.exe", "Connection refused"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    try {
      TUpdaterDownload().Fetch(c.url);
      ADD_FAILURE() << "no error";
    } catch (const ETransferError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.message));
    }
  }
}

TEST(UpdaterDownloadTest, SavingReplacesAReadOnlyFileAndMakesTheNewOneExecutable) {
  TempDir dir;
  const std::string file = UpdaterFileName(dir.path().string());
  WriteBytes(file, "old updater, much longer than the new one");
  platform::SetReadOnly(file, true);

  SaveUpdaterFile(file, std::string("new\0updater", 11));
  EXPECT_EQ(ReadBytes(file), std::string("new\0updater", 11));
  const fs::perms perms = fs::status(file).permissions();
  EXPECT_NE(perms & fs::perms::owner_exec, fs::perms::none);
  EXPECT_NE(perms & fs::perms::owner_write, fs::perms::none);
}

TEST(UpdaterDownloadTest, SavingIntoAMissingFolderRaisesAndDeletingNeverDoes) {
  TempDir dir;
  EXPECT_THROW(SaveUpdaterFile(dir.file("no/such/folder/DCSetup.exe"), "bytes"), EInOutError);
  EXPECT_NO_THROW(DeleteUpdaterFile(dir.file("DCSetup.exe")));

  const std::string file = dir.file("DCSetup.exe");
  WriteBytes(file, "updater");
  platform::SetReadOnly(file, true);
  DeleteUpdaterFile(file);
  EXPECT_FALSE(fs::exists(file));
}

}  // namespace
