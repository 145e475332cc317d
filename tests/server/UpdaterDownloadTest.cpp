// The updater's download client against the test statistics server, and the
// saving of the updater file.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "platform/Files.h"
#include "server/ServerBuildConfig.h"
#include "server/UpdaterDownload.h"
#include "support/SigningKey.h"
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

std::vector<std::string> FolderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  return names;
}

TEST(UpdaterDownloadTest, FetchToFolderStreamsIntoAPrivateFileThatIsDeletedUnlessCommitted) {
  StatsServer server;
  TempDir dir;
  std::string bytes(3000000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13);
  WriteBytes(server.files() / "DCSetup.bin", bytes);
  const std::string target = UpdaterFileName(dir.path().string());
  WriteBytes(target, "old updater");
  platform::SetReadOnly(target, true);

  std::string temporary;
  {
    const auto file = TUpdaterDownload().FetchToFolder(server.url("/files/DCSetup.bin"), dir.path().string());
    EXPECT_EQ(file->Status(), 200);
    EXPECT_EQ(file->Size(), bytes.size());
    temporary = file->Path();
    EXPECT_EQ(fs::path(temporary).parent_path(), dir.path());
    EXPECT_EQ(fs::status(temporary).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(ReadBytes(temporary), bytes);
  }
  EXPECT_FALSE(fs::exists(temporary));
  EXPECT_EQ(ReadBytes(target), "old updater");

  const auto file = TUpdaterDownload().FetchToFolder(server.url("/files/DCSetup.bin"), dir.path().string());
  file->CommitAs(target);
  EXPECT_EQ(ReadBytes(target), bytes);
  EXPECT_EQ(fs::status(target).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"DCSetup.exe"});
}

TEST(UpdaterDownloadTest, FailedFetchesToAFolderLeaveNoFile) {
  StatsServer server;
  TempDir dir;
  WriteBytes(server.files() / "DCSetup.bin", std::string(100001, 'x'));
  const struct {
    const char* situation;
    std::string url;
    std::string folder;
    std::uint64_t limit;
    const char* message;
  } cases[] = {
      {"one byte over the limit", server.url("/files/DCSetup.bin"), dir.path().string(), 100000,
       "Update refused: the updater is larger than 100000 bytes"},
      {"error status", server.url("/files/missing.bin"), dir.path().string(), kMaximumUpdaterSize,
       "Server answered with an error status: HTTP/1.1 404"},
      {"missing folder", server.url("/files/DCSetup.bin"), dir.file("missing"), kMaximumUpdaterSize,
       "Cannot create file for the updater"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.situation);
    try {
      TUpdaterDownload().FetchToFolder(c.url, c.folder, c.limit);
      ADD_FAILURE() << "no error";
    } catch (const EOrvelError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.message));
    }
    EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{});
  }
  try {
    TUpdaterDownload().FetchToFolder(server.url("/files/DCSetup.bin"), dir.path().string(), 100000);
  } catch (const EUpdaterRefused& e) {
    EXPECT_EQ(e.Reason(), TUpdaterRefusal::TooLarge);
  }
  EXPECT_EQ(TUpdaterDownload().FetchToFolder(server.url("/files/DCSetup.bin"), dir.path().string(), 100001)->Size(),
            100001u);
}

TEST(UpdaterDownloadTest, SignatureIsFetchedBesideTheUpdaterAndMustHaveItsSize) {
  StatsServer server;
  WriteBytes(server.files() / "ok.bin.sig", std::string(64, 's'));
  WriteBytes(server.files() / "short.bin.sig", std::string(63, 's'));
  WriteBytes(server.files() / "long.bin.sig", std::string(65, 's'));
  EXPECT_EQ(TUpdaterDownload().FetchSignature(server.url("/files/ok.bin")), std::string(64, 's'));
  for (const char* name : {"/files/short.bin", "/files/long.bin", "/files/missing.bin"}) {
    SCOPED_TRACE(name);
    try {
      TUpdaterDownload().FetchSignature(server.url(name));
      ADD_FAILURE() << "no error";
    } catch (const EUpdaterRefused& e) {
      EXPECT_EQ(e.Reason(), TUpdaterRefusal::NoSignature);
      EXPECT_THAT(e.what(), HasSubstr(server.url(name) + ".sig"));
    }
  }
}

TEST(UpdaterDownloadTest, SignatureMustBeOneOfATrustedKeyOverTheWholeFile) {
  TempDir dir;
  SigningKey key;
  SigningKey other;
  const std::string bytes = std::string("\x7F" "ELF updater ", 12) + std::string(5000, 'u');
  WriteBytes(dir.file("DCSetup.exe"), bytes);
  const std::string signature = key.Sign(bytes);
  std::string pemBody;  // the PEM text without its armour lines, on one line
  for (const char c : key.PublicKeyPem())
    if (c != '\n') pemBody += c;
  pemBody = pemBody.substr(pemBody.find("KEY-----") + 8);
  pemBody = pemBody.substr(0, pemBody.find("-----"));
  std::string tampered = signature;
  tampered[10] ^= 0x40;
  const struct {
    const char* situation;
    std::string signature;
    std::string keys;
    bool valid;
  } cases[] = {
      {"raw key", signature, key.PublicKey(), true},
      {"PEM key", signature, key.PublicKeyPem(), true},
      {"DER key in base64", signature, pemBody, true},
      {"second of two keys, blanks around", signature, " " + other.PublicKey() + " ; " + key.PublicKey() + " ", true},
      {"another key", signature, other.PublicKey(), false},
      {"altered signature", tampered, key.PublicKey(), false},
      {"signature of other bytes", key.Sign(bytes + "x"), key.PublicKey(), false},
      {"signature cut short", signature.substr(0, 63), key.PublicKey(), false},
      {"no key", signature, "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.situation);
    EXPECT_EQ(UpdaterSignatureValid(dir.file("DCSetup.exe"), c.signature, c.keys), c.valid);
  }
  for (const std::string& bad : {std::string("not base64!"), std::string("AAAA"), key.PublicKey().substr(4)}) {
    SCOPED_TRACE(bad);
    try {
      UpdaterSignatureValid(dir.file("DCSetup.exe"), signature, key.PublicKey() + ";" + bad);
      ADD_FAILURE() << "no error";
    } catch (const EUpdaterRefused& e) {
      EXPECT_EQ(e.Reason(), TUpdaterRefusal::BadPublicKey);
      EXPECT_THAT(e.what(), HasSubstr("\"" + bad + "\""));
    }
  }
  EXPECT_THROW(UpdaterSignatureValid(dir.file("missing"), signature, key.PublicKey()), EInOutError);
}

TEST(UpdaterDownloadTest, TrustedKeysAreTheConfiguredOnesAndTheBuiltInOne) {
  const std::string built = DC_UPDATE_PUBLIC_KEY;
  const auto joined = [&](const std::string& configured) {
    if (built.empty()) return configured;
    return configured.empty() ? built : configured + ";" + built;
  };
  EXPECT_EQ(TrustedUpdaterKeys(""), joined(""));
  EXPECT_EQ(TrustedUpdaterKeys("  abc= \n"), joined("abc="));
}

}  // namespace
