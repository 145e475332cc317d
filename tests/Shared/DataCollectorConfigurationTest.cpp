#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "Shared/Orvel_Shared/OrvelClasses.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "support/ScopedRegistry.h"

namespace {

const char kOrvel[] = "\\Software\\Orvel";
const char kInstall[] = "\\Software\\Orvel\\Install";
const char kCorvane[] = "\\Software\\Orvel\\Corvane";
const char kLogin[] = "\\Software\\Orvel\\Omnid\\Login";
const char kCollector[] = "\\Software\\Orvel\\DataCollector";

// Points the local-machine hive at an empty file of its own for one test.
class ConfigurationTest : public ::testing::Test {
 protected:
  static void Put(const std::string& key, const std::string& name, const platform::RegistryValue& value) {
    TRegistry reg(kLocalMachine, kKeyAllAccess);
    ASSERT_TRUE(reg.OpenKey(key, true));
    reg.WriteRawValue(name, value);
  }
  static void PutText(const std::string& key, const std::string& name, const std::string& text) {
    Put(key, name, platform::RegistryValue::Text(text));
  }
  static void CreateKey(const std::string& key) {
    TRegistry reg(kLocalMachine, kKeyAllAccess);
    ASSERT_TRUE(reg.CreateKey(key));
  }
  static void DeleteKey(const std::string& key) { ASSERT_TRUE(TOrvelRegistry::ClearKey(kLocalMachine, key)); }

  // A complete server installation.
  static void InstallSite() {
    PutText(kInstall, "InstallType", "A");
    PutText(kInstall, "PATH", " C:\\Corvane\\ ");
    PutText(kCorvane, "Stage", "23.1.0.4");
    PutText(kLogin, "Database", "server:/data/site.fdb");
    PutText(kCollector, "ClientToken", "tok-123");
    PutText(kCollector, "LocCode", "ab-12x");
    PutText(kCollector, "LogComm", "1");
  }

  ScopedRegistry FRegistry;
};

TEST_F(ConfigurationTest, StartsEmpty) {
  TDataCollectorConfiguration cfg;
  EXPECT_FALSE(cfg.IsInstalled());
  EXPECT_EQ(cfg.CycleTime(), 0);
  EXPECT_EQ(cfg.HistoryStep(), 0);
  EXPECT_EQ(cfg.InstallType(), TCorvaneInstallType::Server);
  EXPECT_EQ(cfg.DBPath(), "");
  EXPECT_TRUE(cfg.SiteEmployees().Empty());
  EXPECT_TRUE(cfg.EmpCategories().Empty());
  EXPECT_TRUE(cfg.SitePlanTypes().Empty());
}

TEST_F(ConfigurationTest, LoadsAnInstalledSite) {
  InstallSite();
  TDataCollectorConfiguration cfg;
  cfg.LoadRegistryConfiguration();
  EXPECT_TRUE(cfg.IsInstalled());
  EXPECT_EQ(cfg.InstallType(), TCorvaneInstallType::Server);
  EXPECT_EQ(cfg.SWPath(), " C:\\Corvane\\ ");  // taken as stored
  EXPECT_EQ(cfg.InstalledVersion(), "23.1.0.4");
  EXPECT_EQ(cfg.DBPath(), "server:/data/site.fdb");
  EXPECT_EQ(cfg.ClientToken(), "tok-123");
  EXPECT_EQ(cfg.RegLocCode(), "AB-12X");
  EXPECT_TRUE(cfg.LogCommunications());
  EXPECT_EQ(cfg.RegURL(), "");
}

TEST_F(ConfigurationTest, MissingOrvelKeyTouchesNothingElse) {
  InstallSite();
  TDataCollectorConfiguration cfg;
  cfg.LoadRegistryConfiguration();
  DeleteKey(kOrvel);
  cfg.LoadRegistryConfiguration();
  EXPECT_FALSE(cfg.IsInstalled());
  EXPECT_EQ(cfg.ClientToken(), "tok-123");
  EXPECT_EQ(cfg.DBPath(), "server:/data/site.fdb");
  EXPECT_EQ(cfg.RegURL(), "");

  TDataCollectorConfiguration fresh;
  fresh.LoadRegistryConfiguration();
  EXPECT_FALSE(fresh.IsInstalled());
  EXPECT_EQ(fresh.InstallType(), TCorvaneInstallType::Server);
}

TEST_F(ConfigurationTest, InstallTypeMapping) {
  struct Case {
    std::optional<std::string> stored;
    TCorvaneInstallType expected;
  };
  const Case cases[] = {
      {"A", TCorvaneInstallType::Server},
      {"  server\t", TCorvaneInstallType::Server},
      {"SERVER", TCorvaneInstallType::Server},
      {"d", TCorvaneInstallType::HQOffline},
      {" hq workstation ", TCorvaneInstallType::HQOffline},
      {"HQ  Workstation", TCorvaneInstallType::Workstation},
      {"Hub", TCorvaneInstallType::Workstation},
      {"B", TCorvaneInstallType::Workstation},
      {"", TCorvaneInstallType::Workstation},
      {std::nullopt, TCorvaneInstallType::Workstation},
  };
  for (const Case& c : cases) {
    DeleteKey(kInstall);
    CreateKey(kInstall);
    if (c.stored) PutText(kInstall, "InstallType", *c.stored);
    TDataCollectorConfiguration cfg;
    cfg.LoadRegistryConfiguration();
    EXPECT_EQ(cfg.InstallType(), c.expected) << "stored: " << c.stored.value_or("(missing)");
  }
}

TEST_F(ConfigurationTest, LogCommIsOnForAnyNonZeroNumber) {
  struct Case {
    std::optional<std::string> stored;
    bool expected;
  };
  const Case cases[] = {
      {"1", true},     {"-5", true},  {"+7", true}, {"0", false},      {"", false},
      {"yes", false},  {"1x", false}, {"+-5", false}, {"99999999999", false},
      {std::nullopt, false},
  };
  for (const Case& c : cases) {
    DeleteKey(kCollector);
    CreateKey(kCollector);
    if (c.stored) PutText(kCollector, "LogComm", *c.stored);
    TDataCollectorConfiguration cfg;
    cfg.LoadRegistryConfiguration();
    EXPECT_EQ(cfg.LogCommunications(), c.expected) << "stored: " << c.stored.value_or("(missing)");
  }
}

TEST_F(ConfigurationTest, LateSalesOverlapKeepsTheDefaultForAnythingButANumberInRange) {
  struct Case {
    std::optional<std::string> stored;
    int32_t expected;
  };
  const Case cases[] = {
      {std::nullopt, 10}, {"", 10},  {" 25 ", 25}, {"0", 0},     {"-5", 0},
      {"abc", 10},        {"7x", 10}, {"1440", 1440}, {"99999", 1440},
  };
  for (const Case& c : cases) {
    InstallSite();
    if (c.stored) PutText(kCollector, "LateSalesOverlap", *c.stored);
    TDataCollectorConfiguration cfg;
    cfg.LoadRegistryConfiguration();
    EXPECT_EQ(cfg.LateSalesOverlap(), c.expected) << "stored: " << c.stored.value_or("(missing)");
    DeleteKey(kCollector);
  }
}

TEST_F(ConfigurationTest, LogRetentionDaysKeepsTheDefaultForAnythingButANumberInRange) {
  struct Case {
    std::optional<std::string> stored;
    int32_t expected;
  };
  const Case cases[] = {
      {std::nullopt, 90}, {"", 90},   {" 30 ", 30},   {"0", 0},         {"-5", 0},
      {"abc", 90},        {"7x", 90}, {"3650", 3650}, {"99999", 3650},
  };
  for (const Case& c : cases) {
    InstallSite();
    if (c.stored) PutText(kCollector, "LogRetentionDays", *c.stored);
    TDataCollectorConfiguration cfg;
    cfg.LoadRegistryConfiguration();
    EXPECT_EQ(cfg.LogRetentionDays(), c.expected) << "stored: " << c.stored.value_or("(missing)");
    DeleteKey(kCollector);
  }
}

TEST_F(ConfigurationTest, LocCodeUpperCasesAsciiLettersOnly) {
  PutText(kCollector, "LocCode", "ab\xC3\xA9z-9 q");
  TDataCollectorConfiguration cfg;
  cfg.LoadRegistryConfiguration();
  EXPECT_EQ(cfg.RegLocCode(), "AB\xC3\xA9Z-9 Q");
}

TEST_F(ConfigurationTest, MissingKeysClearIsInstalledButLoadTheRest) {
  InstallSite();
  DeleteKey(kCorvane);
  TDataCollectorConfiguration cfg;
  cfg.LoadRegistryConfiguration();
  EXPECT_FALSE(cfg.IsInstalled());
  EXPECT_EQ(cfg.InstallType(), TCorvaneInstallType::Server);
  EXPECT_EQ(cfg.SWPath(), " C:\\Corvane\\ ");
  EXPECT_EQ(cfg.ClientToken(), "tok-123");

  DeleteKey(kInstall);
  PutText(kCorvane, "Stage", "23.1");
  cfg.LoadRegistryConfiguration();
  EXPECT_FALSE(cfg.IsInstalled());
  EXPECT_EQ(cfg.InstalledVersion(), "23.1");

  // The database path key is not needed for IsInstalled.
  InstallSite();
  DeleteKey(kLogin);
  TDataCollectorConfiguration other;
  other.LoadRegistryConfiguration();
  EXPECT_TRUE(other.IsInstalled());
  EXPECT_EQ(other.DBPath(), "");
}

TEST_F(ConfigurationTest, FieldsSurviveAMissingKeyButNotAMissingValue) {
  InstallSite();
  TDataCollectorConfiguration cfg;
  cfg.LoadRegistryConfiguration();
  DeleteKey(kCollector);
  cfg.LoadRegistryConfiguration();
  EXPECT_EQ(cfg.ClientToken(), "tok-123");
  EXPECT_EQ(cfg.RegLocCode(), "AB-12X");
  EXPECT_TRUE(cfg.LogCommunications());

  // A present key with the value gone reads the value as empty.
  PutText(kCollector, "LocCode", "zz1");
  cfg.LoadRegistryConfiguration();
  EXPECT_EQ(cfg.ClientToken(), "");
  EXPECT_EQ(cfg.RegLocCode(), "ZZ1");
  EXPECT_FALSE(cfg.LogCommunications());
}

TEST_F(ConfigurationTest, ValueOfAnotherTypeFailsAfterTheValuesBeforeIt) {
  InstallSite();
  TDataCollectorConfiguration cfg;
  cfg.LoadRegistryConfiguration();
  PutText(kCollector, "ClientToken", "tok-456");
  PutText(kCollector, "LocCode", "new1");
  Put(kCollector, "LogComm", platform::RegistryValue::DWord(0));
  try {
    cfg.LoadRegistryConfiguration();
    FAIL() << "a DWORD LogComm must fail the load";
  } catch (const ERegistryException& e) {
    EXPECT_STREQ(e.what(), "Invalid data type for 'LogComm'");
  }
  EXPECT_EQ(cfg.ClientToken(), "tok-456");
  EXPECT_EQ(cfg.RegLocCode(), "NEW1");
  EXPECT_TRUE(cfg.LogCommunications());  // the old value stays

  // Expandable text is text, taken unexpanded.
  Put(kLogin, "Database", platform::RegistryValue::Text("%ROOT%/site.fdb",
                                                        platform::RegistryValueType::ExpandString));
  PutText(kCollector, "LogComm", "0");
  cfg.LoadRegistryConfiguration();
  EXPECT_EQ(cfg.DBPath(), "%ROOT%/site.fdb");

  Put(kInstall, "PATH", platform::RegistryValue::MultiText({"a", "b"}));
  EXPECT_THROW(cfg.LoadRegistryConfiguration(), ERegistryException);
}

// The caches own what they hold: clearing or destroying them runs the
// destructors, and a lookup of the wrong type finds nothing.
struct TTracked {
  explicit TTracked(int* destroyed, int id = 0) : LDestroyed(destroyed), FId(id) {}
  ~TTracked() { ++*LDestroyed; }
  int* LDestroyed;
  int FId;
};

TEST(ConfigurationCaches, OwnTheirObjects) {
  int destroyed = 0;
  {
    TDataCollectorConfiguration cfg;
    cfg.SiteEmployees().Add("20", std::make_unique<TTracked>(&destroyed, 20));
    cfg.SiteEmployees().Add("3", std::make_unique<TTracked>(&destroyed, 3));
    cfg.SiteEmployees().Add("100", std::make_unique<TTracked>(&destroyed, 100));
    ASSERT_NE(cfg.SiteEmployees().Find<TTracked>("3"), nullptr);
    EXPECT_EQ(cfg.SiteEmployees().Find<TTracked>("3")->FId, 3);
    EXPECT_EQ(cfg.SiteEmployees().Find<int>("3"), nullptr);
    EXPECT_EQ(cfg.SiteEmployees().Find<TTracked>("4"), nullptr);

    std::string order;
    cfg.SiteEmployees().ForEach<TTracked>(
        [&](const std::string& key, TTracked&) { order += key + ","; });
    EXPECT_EQ(order, "100,20,3,");  // text order of the keys

    cfg.SiteEmployees().Add("3", std::make_unique<TTracked>(&destroyed, 33));
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(cfg.SiteEmployees().Count(), 3);
    EXPECT_TRUE(cfg.SiteEmployees().DeleteAndFree("20"));
    EXPECT_FALSE(cfg.SiteEmployees().DeleteAndFree("20"));
    EXPECT_EQ(destroyed, 2);
    cfg.SiteEmployees().Clear();
    EXPECT_EQ(destroyed, 4);

    EXPECT_EQ(cfg.EmpCategories().Add(std::make_unique<TTracked>(&destroyed, 7)), 0);
    EXPECT_EQ(cfg.EmpCategories().Add(std::make_unique<TTracked>(&destroyed, 8)), 1);
    EXPECT_EQ(cfg.EmpCategories().Item<TTracked>(1)->FId, 8);
    EXPECT_EQ(cfg.EmpCategories().Item<TTracked>(2), nullptr);
    EXPECT_EQ(cfg.EmpCategories().Item<TTracked>(-1), nullptr);
    cfg.SitePlanTypes().Add(std::make_unique<TTracked>(&destroyed));
  }
  EXPECT_EQ(destroyed, 7);
}

}  // namespace
