#include "support/SiteTestCollector.h"

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"

std::string TSiteRegistry::Text() const {
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  if (!Installed) return text;
  auto value = [](const std::string& name, const std::string& data) {
    return "\"" + name + "\"=\"" + data + "\"\n";
  };
  text += "[HKEY_LOCAL_MACHINE\\Software\\Orvel]\n\n";
  text += "[HKEY_LOCAL_MACHINE\\Software\\Orvel\\Install]\n" + value("InstallType", InstallType) +
          value("PATH", Path) + "\n";
  text += "[HKEY_LOCAL_MACHINE\\Software\\Orvel\\Corvane]\n" + value("Stage", Stage) + "\n";
  text += "[HKEY_LOCAL_MACHINE\\Software\\Orvel\\Omnid\\Login]\n" + value("Database", Database) + "\n";
  text += "[HKEY_LOCAL_MACHINE\\Software\\Orvel\\DataCollector]\n" +
          value("ClientToken", ClientToken) + value("LocCode", LocCode) + "\n";
  return text;
}

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
