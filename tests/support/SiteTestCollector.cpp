#include "support/SiteTestCollector.h"

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"

HiveText TSiteRegistry::Hive() const {
  HiveText hive;
  if (!Installed) return hive;
  hive.Key("Software\\Orvel")
      .Key("Software\\Orvel\\Install")
      .String("InstallType", InstallType)
      .String("PATH", Path)
      .Key("Software\\Orvel\\Corvane")
      .String("Stage", Stage)
      .Key("Software\\Orvel\\Omnid\\Login")
      .String("Database", Database)
      .Key("Software\\Orvel\\DataCollector")
      .String("ClientToken", ClientToken)
      .String("LocCode", LocCode);
  return hive;
}

std::string TSiteRegistry::Text() const { return Hive().Text(); }

TSiteTestCollector::TSiteTestCollector()
    : TDataCollector([this](const std::string& msg, bool) { Lines.push_back(msg); }) {}

void TSiteTestCollector::Configure(const TSiteRegistry& registry) {
  FRegistry.Write(registry.Text());
  LoadConfiguration();
}

std::vector<std::string> TSiteTestCollector::TakeLines() {
  std::vector<std::string> lines;
  lines.swap(Lines);
  return lines;
}
