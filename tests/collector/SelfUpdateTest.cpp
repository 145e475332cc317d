// Self-update and remote uninstall as the server orders them in its answer to
// Authorize: the real exchange, download and process start against the test
// statistics server, with a test updater that records its command line.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/MachineIdentity.h"
#include "collector/DataCollector.h"
#include "platform/Files.h"
#include "platform/ServiceControl.h"
#include "platform/VersionInfo.h"
#include "server/UpdaterDownload.h"
#include "support/FakeNetworkIdentity.h"
#include "support/HiveText.h"
#include "support/KeyPin.h"
#include "support/ScopedEnv.h"
#include "support/ScopedRegistry.h"
#include "support/SigningKey.h"
#include "support/StatsServer.h"
#include "support/TempDir.h"

namespace {

using TAuthorizeResult = TDataCollector::TAuthorizeResult;

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string TestProgramPath(const std::string& name) {
  const char* dir = std::getenv("DC_TEST_BINARY_DIR");
  const fs::path base = dir != nullptr ? fs::path(dir) : fs::path(platform::ExecutablePath()).parent_path() / "../..";
  return (base / "tests/support" / name).lexically_normal().string();
}

std::string TestUpdaterPath() { return TestProgramPath("recording_updater"); }

// The collector key of a hive holding the given values ("" leaves one out).
std::string CollectorRegistry(const std::string& keyPin, const std::string& publicKey) {
  HiveText text;
  text.Key("Software\\Orvel").Key("Software\\Orvel\\DataCollector");
  if (!keyPin.empty()) text.String("ServerKeyPin", keyPin);
  if (!publicKey.empty()) text.String("UpdatePublicKey", publicKey);
  return text;
}

std::string EncodedVersionBlock(const std::string& version) {
  platform::VersionBlock block;
  block.translations = {{0x0409, 0x04b0}};
  block.strings["\\StringFileInfo\\040904b0\\FileVersion"] = version;
  const std::vector<std::uint8_t> encoded = platform::EncodeVersionBlock(block);
  return std::string(encoded.begin(), encoded.end());
}

// The folder's entries, names only.
std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The command line the test updater recorded when started as `program`.
std::optional<std::vector<std::string>> RecordedCommandLine(const std::string& program,
                                                            std::chrono::milliseconds timeout) {
  const std::string file = program + ".cmdline";
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!fs::exists(file)) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(20ms);
  }
  std::istringstream in(ReadBytes(file));
  std::vector<std::string> args;
  for (std::string line; std::getline(in, line);) args.push_back(line);
  return args;
}

// The real Authorize, download and uninstall path. The program file is the
// test's; the site checks fail, so the database is never touched.
class TUpdateCollector : public TDataCollector {
 public:
  TUpdateCollector(std::vector<std::string>& log, std::string program)
      : TDataCollector([&log](const std::string& msg, bool toSysLog) {
          log.push_back(toSysLog ? "SYS " + msg : msg);
        }),
        FProgram(std::move(program)) {
    SetOnUpdating([this](bool uninstall) { updating.push_back(uninstall); });
    LMachineIdentity = std::make_unique<TMachineIdentity>(FakeNetworkIdentity::WiredMachine());
  }

  using TDataCollector::Authorize;
  using TDataCollector::CreateServerConnection;
  using TDataCollector::LoadConfiguration;
  using TDataCollector::PrepareTLS;
  void DownloadUpdaterForTest(const std::string& url) { DownloadUpdater(url); }
  void SetInitialized(bool value) { FInitialized = value; }

  std::vector<bool> updating;
  int siteChecks = 0;

 protected:
  std::string ProgramFile() const override { return FProgram; }
  bool BasicSystemChecksOK() override {
    ++siteChecks;
    return false;
  }

 private:
  std::string FProgram;
};

class SelfUpdateTest : public ::testing::Test {
 protected:
  SelfUpdateTest()
      : host("DC_SERVER_HOST", "127.0.0.1"),
        port("DC_SERVER_PORT", std::to_string(server.port()).c_str()),
        units("DC_SYSTEMD_DIR", dir.file("units").c_str()),
        program(dir.file("DataCollector")),
        updater(dir.file("DCSetup.exe")) {
    fs::create_directory(dir.path() / "units");
    fs::copy_file(TestUpdaterPath(), program);
    registry.Write(CollectorRegistry("", key.PublicKey()));
  }

  void MakeCollector(const std::string& programFile) {
    collector = std::make_unique<TUpdateCollector>(log, programFile);
    collector->LoadConfiguration();
    collector->Cfg().SetLocCode("CW001");
    collector->CreateServerConnection();
    ASSERT_TRUE(collector->PrepareTLS());
    collector->SetInitialized(true);
    log.clear();
  }
  void SetUp() override { MakeCollector(program); }

  // Serves "DCSetup.bin" of exactly `size` bytes: the test updater (or, for
  // `content`, those bytes) followed by zeros, with its signature by `signer`
  // as "DCSetup.bin.sig" (none without a signer).
  void ServeUpdater(size_t size, std::optional<std::string> content = std::nullopt,
                    const SigningKey* signer = nullptr) {
    std::string bytes = content ? *content : ReadBytes(TestUpdaterPath());
    ASSERT_LE(bytes.size(), size);
    bytes.resize(size, '\0');
    std::ofstream(server.files() / "DCSetup.bin", std::ios::binary) << bytes;
    fs::remove(server.files() / "DCSetup.bin.sig");
    if (signer != nullptr) std::ofstream(server.files() / "DCSetup.bin.sig", std::ios::binary) << signer->Sign(bytes);
  }
  void ServeSignedUpdater(size_t size, std::optional<std::string> content = std::nullopt) {
    ServeUpdater(size, std::move(content), &key);
  }

  TAuthorizeResult AuthorizeWith(const std::string& answer) {
    server.enqueue(answer);
    return collector->Authorize();
  }
  static std::string UpdateAnswer(const std::string& url) { return "{\"UpdateURL\":\"" + url + "\"}"; }

  SigningKey key;
  StatsServer server;
  ScopedRegistry registry;
  ScopedEnv host;
  ScopedEnv port;
  TempDir dir{"self-update"};
  ScopedEnv units;
  std::string program;
  std::string updater;
  std::vector<std::string> log;
  std::unique_ptr<TUpdateCollector> collector;
};

TEST_F(SelfUpdateTest, UpdateUrlDownloadsChecksAndStartsTheUpdater) {
  // An updater left read-only by an earlier update is replaced.
  std::ofstream(updater) << "old updater";
  platform::SetReadOnly(updater, true);
  ServeSignedUpdater(2000000);
  const std::string url = server.url("/files/DCSetup.bin");

  EXPECT_EQ(AuthorizeWith(UpdateAnswer(url)), TAuthorizeResult::UpdateOrdered);
  EXPECT_THAT(log, ElementsAre("Sending Authorize", "SYS New Update available from " + url,
                               "Downloading Updater from \"" + url + "\"...", "Update file size: 2000000",
                               "Updater signature verified", "Saving Updater as " + updater + "...",
                               "Update file version: 2.6.1", "Launching Updater..."));
  EXPECT_THAT(collector->updating, ElementsAre(false));
  EXPECT_EQ(ReadBytes(updater), ReadBytes((server.files() / "DCSetup.bin").string()));
  EXPECT_EQ(fs::status(updater).permissions() & fs::perms::all, fs::perms::owner_all);
  EXPECT_EQ(RecordedCommandLine(updater, 10s), (std::vector<std::string>{updater, "/AUTOUPDATE"}));
  EXPECT_EQ(server.requests().back().tls, "TLSv1.2");
  EXPECT_EQ(server.requests().back().path, "/files/DCSetup.bin.sig");
}

TEST_F(SelfUpdateTest, EveryFailedDownloadIsLoggedAndReinitialisesWithoutStartingAnything) {
  StatsServer tls13(StatsServer::Options{.tls = true, .tls13Only = true});
  // The test updater with no program headers: a versioned ELF file that the
  // system refuses to run.
  std::string unrunnable = ReadBytes(TestUpdaterPath());
  ASSERT_GT(unrunnable.size(), 64u);
  unrunnable[56] = unrunnable[57] = '\0';  // e_phnum of a 64-bit ELF header

  const std::string file = server.url("/files/DCSetup.bin");
  const auto serve = [&](size_t size, std::optional<std::string> content = std::nullopt) {
    return [=, this] { ServeSignedUpdater(size, content); };
  };
  const struct {
    const char* situation;
    std::string url;
    std::function<void()> prepare;  // runs after the Authorize answer is queued
    std::string programFile;
    std::string message;
    bool updaterSaved;
  } cases[] = {
      {"connection refused", "https://127.0.0.1:1/DCSetup.exe", [] {}, program, "Connection refused", false},
      {"TLS handshake fails", tls13.url("/files/DCSetup.bin"), [] {}, program, "TLS failure", false},
      {"HTTP error status", server.url("/files/missing.bin"), [] {}, program,
       "Server answered with an error status: HTTP/1.1 404", false},
      {"one byte short", file, serve(1999999), program, "Failure to dowload update. Code = 200, Size = 1999999",
       false},
      {"another 2xx status", file,
       [&] {
         ServeSignedUpdater(2000000);
         StatsServer::Answer partial;
         partial.status = 203;
         partial.file = "DCSetup.bin";
         server.enqueue(partial);
       },
       program, "Failure to dowload update. Code = 203, Size = 2000000", false},
      {"file cannot be written", file, serve(2000000), dir.file("missing/DataCollector"), "Cannot create file",
       false},
      {"program without a version", file, serve(2000000, ReadBytes(TestProgramPath("unversioned_updater"))),
       program, "Failure to dowload update. File version check failed!", false},
      {"updater cannot be started", file, serve(2000000, unrunnable), program,
       "Failure to start the updater " + updater, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.situation);
    fs::remove(updater);
    MakeCollector(c.programFile);
    server.enqueue(UpdateAnswer(c.url));
    c.prepare();
    EXPECT_EQ(collector->Authorize(), TAuthorizeResult::UpdateOrdered);
    EXPECT_FALSE(collector->Initialized());
    EXPECT_THAT(log, Contains(HasSubstr("ERROR: Failed to download update (reinitializing): ")));
    EXPECT_THAT(log.back(), HasSubstr(c.message));
    EXPECT_THAT(collector->updating, IsEmpty());
    EXPECT_EQ(fs::exists(updater), c.updaterSaved);
    EXPECT_THAT(FolderEntries(dir.path().string()), Not(Contains(HasSubstr("download"))))
        << "a temporary file was left behind";
  }
  EXPECT_FALSE(RecordedCommandLine(updater, 500ms).has_value());
}

TEST_F(SelfUpdateTest, UnauthenticatedOrForeignUpdatersAreRefusedAndNothingIsStarted) {
  SigningKey otherKey;
  const std::string updaterBytes = ReadBytes(TestUpdaterPath());
  const std::string forgedScript =
      "#!/bin/sh\n# " + EncodedVersionBlock("9.9.9.9") + "\ntouch \"$0.ran\"\n";
  const struct {
    const char* situation;
    std::string registry;
    std::string content;
    const SigningKey* signer;
    TUpdaterRefusal reason;
    std::string message;
  } cases[] = {
      {"no trust configured", CollectorRegistry("", ""), updaterBytes, &key, TUpdaterRefusal::NoTrust,
       "Update refused: no trust is configured for updaters; set \"UpdatePublicKey\""},
      {"shell script with a forged version marker", CollectorRegistry("", key.PublicKey()), forgedScript, &key,
       TUpdaterRefusal::NotNativeProgram, "Update refused: the updater is not a program of this computer"},
      {"ELF updater without a signature", CollectorRegistry("", key.PublicKey()), updaterBytes, nullptr,
       TUpdaterRefusal::NoSignature, "Update refused: no signature of the updater at " +
                                         server.url("/files/DCSetup.bin.sig") + " (Server answered with an "
                                                                                  "error status: HTTP/1.1 404"},
      {"ELF updater signed by another key", CollectorRegistry("", key.PublicKey()), updaterBytes, &otherKey,
       TUpdaterRefusal::BadSignature, "Update refused: the signature at " + server.url("/files/DCSetup.bin.sig") +
                                          " is not one of a trusted key"},
      {"signed by another key over a pinned exchange", CollectorRegistry(PublicKeyPinOf(server), key.PublicKey()),
       updaterBytes, &otherKey, TUpdaterRefusal::BadSignature,
       "Update refused: the signature at " + server.url("/files/DCSetup.bin.sig") + " is not one of a trusted key"},
      {"unreadable trusted key", CollectorRegistry("", "not-a-key"), updaterBytes, &key,
       TUpdaterRefusal::BadPublicKey, "Update refused: the trusted public key \"not-a-key\" is not an Ed25519"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.situation);
    registry.Write(c.registry);
    MakeCollector(program);
    ServeUpdater(2000000, c.content, c.signer);
    EXPECT_EQ(AuthorizeWith(UpdateAnswer(server.url("/files/DCSetup.bin"))), TAuthorizeResult::UpdateOrdered);
    EXPECT_FALSE(collector->Initialized());
    EXPECT_THAT(log.back(), HasSubstr("ERROR: Failed to download update (reinitializing): " + c.message));
    EXPECT_THAT(collector->updating, IsEmpty());
    EXPECT_THAT(FolderEntries(dir.path().string()), ElementsAre("DataCollector", "units"));
    // The refusal is a type, for callers that react to it.
    try {
      collector->DownloadUpdaterForTest(server.url("/files/DCSetup.bin"));
      ADD_FAILURE() << "no refusal";
    } catch (const EUpdaterRefused& e) {
      EXPECT_EQ(e.Reason(), c.reason);
    }
  }
  EXPECT_FALSE(fs::exists(dir.file("DCSetup.exe.ran")));
  EXPECT_FALSE(RecordedCommandLine(updater, 500ms).has_value());
}

TEST_F(SelfUpdateTest, AnUpdaterSignedWithTheSigningToolRuns) {
  const char* source = std::getenv("DC_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  const std::string tool = std::string(source) + "/tools/sign-updater/sign-updater.sh";
  if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "the openssl command is not installed";
  // Two trusted keys: the second one signs.
  SigningKey retired;
  registry.Write(CollectorRegistry("", retired.PublicKey() + ";" + key.PublicKey()));
  MakeCollector(program);
  ServeUpdater(2000000);
  const std::string served = (server.files() / "DCSetup.bin").string();
  key.WritePrivateKey(dir.file("signing.pem"));
  ASSERT_EQ(std::system(("sh '" + tool + "' sign '" + dir.file("signing.pem") + "' '" + served + "' 2>/dev/null").c_str()), 0);
  fs::remove(dir.file("signing.pem"));

  EXPECT_EQ(AuthorizeWith(UpdateAnswer(server.url("/files/DCSetup.bin"))), TAuthorizeResult::UpdateOrdered);
  EXPECT_THAT(log, Contains("Updater signature verified"));
  EXPECT_THAT(collector->updating, ElementsAre(false));
  EXPECT_EQ(RecordedCommandLine(updater, 10s), (std::vector<std::string>{updater, "/AUTOUPDATE"}));
}

TEST_F(SelfUpdateTest, UninstallAnswerRemovesTheStructuresAndStartsTheProgramToRemoveTheService) {
  platform::OpenServiceControl("")->InstallService({"DataCollectorSvc", "Data Collector", program, {}});

  EXPECT_EQ(AuthorizeWith("{\"Uninstall\":true,\"Authenticated\":true,\"CycleTime\":60}"), TAuthorizeResult::UninstallOrdered);
  EXPECT_FALSE(collector->Initialized());
  EXPECT_EQ(collector->siteChecks, 1) << "the collector's Uninstall did not run";
  EXPECT_THAT(log, Contains("SYS Uninstall requested from server..."));
  EXPECT_THAT(log, Contains("Starting uninstall of service"));
  EXPECT_THAT(collector->updating, ElementsAre(true));
  EXPECT_EQ(collector->Cfg().CycleTime(), 300);
  EXPECT_EQ(RecordedCommandLine(program, 10s), (std::vector<std::string>{program, "/UNINSTALL", "/SILENT"}));
}

TEST_F(SelfUpdateTest, UninstallAnswerWithoutARegisteredServiceStartsNothing) {
  EXPECT_EQ(AuthorizeWith("{\"Uninstall\":true}"), TAuthorizeResult::UninstallOrdered);
  EXPECT_EQ(collector->siteChecks, 1);
  EXPECT_THAT(log, Not(Contains("Starting uninstall of service")));
  EXPECT_THAT(collector->updating, ElementsAre(true));
  EXPECT_FALSE(RecordedCommandLine(program, 500ms).has_value());
}

TEST_F(SelfUpdateTest, ServerKeyPinGuardsAuthorizeAndTheUpdaterDownload) {
  StatsServer other;
  // Only the pin: the pinned exchange alone authenticates the updater.
  const auto pinned = [&](const std::string& pin) {
    registry.Write(CollectorRegistry(pin, ""));
    MakeCollector(program);
  };
  ServeUpdater(2000000);
  std::ofstream(other.files() / "DCSetup.bin", std::ios::binary) << ReadBytes((server.files() / "DCSetup.bin").string());

  // The other server's key: Authorize is refused before anything is sent.
  pinned(PublicKeyPinOf(other));
  EXPECT_EQ(AuthorizeWith(UpdateAnswer(server.url("/files/DCSetup.bin"))), TAuthorizeResult::Refused);
  EXPECT_THAT(log.back(), HasSubstr("ERROR: Failed to authorize with the Quorix Server (reinitializing): TLS "
                                    "failure: the server's public key does not match ServerKeyPin"));
  EXPECT_TRUE(server.requests().empty());

  // This server's key: Authorize works, but an updater from the other server is refused.
  pinned(PublicKeyPinOf(server));
  EXPECT_EQ(collector->Authorize(), TAuthorizeResult::UpdateOrdered);  // the answer queued above
  EXPECT_EQ(AuthorizeWith(UpdateAnswer(other.url("/files/DCSetup.bin"))), TAuthorizeResult::UpdateOrdered);
  EXPECT_THAT(log.back(), HasSubstr("ERROR: Failed to download update (reinitializing): TLS failure: the "
                                    "server's public key does not match ServerKeyPin"));
  EXPECT_TRUE(other.requests().empty());
  EXPECT_THAT(log, Contains("Updater authenticated by the pinned server key (ServerKeyPin)"));
  EXPECT_THAT(collector->updating, ElementsAre(false));
  EXPECT_EQ(RecordedCommandLine(updater, 10s), (std::vector<std::string>{updater, "/AUTOUPDATE"}));
}

}  // namespace
