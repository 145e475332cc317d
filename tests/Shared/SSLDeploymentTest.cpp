#include "Shared/Orvel_Shared/SSLDeployment.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

TEST(SSLDeploymentTest, SystemOpenSSLCanMakeATls12Client) { EXPECT_TRUE(CreateSSLDLLs()); }

// OpenSSL reads its configuration once per process, so a policy that leaves
// no cipher for TLS 1.2 is tried in a fresh copy of the test program.
TEST(SSLDeploymentTest, PolicyThatLeavesNoTls12CipherIsReportedAsNotReady) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TempDir dir;
  const std::string path = dir.file("openssl.cnf");
  {
    std::ofstream conf(path);
    conf << "openssl_conf = conf\n[conf]\nssl_conf = ssl_sect\n[ssl_sect]\nsystem_default = sysdef\n"
            "[sysdef]\nCipherString = eNULL\n";
  }
  EXPECT_EXIT(
      {
        ScopedEnv env("OPENSSL_CONF", path.c_str());
        std::exit(CreateSSLDLLs() ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
