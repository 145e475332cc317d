#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"

#include <algorithm>
#include <charconv>

#include "Shared/Orvel_Shared/OrvelClasses.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"

namespace {

const char kOrvelKey[] = "\\Software\\Orvel";
const char kInstallKey[] = "\\Software\\Orvel\\Install";
const char kCorvaneKey[] = "\\Software\\Orvel\\Corvane";
const char kLoginKey[] = "\\Software\\Orvel\\Omnid\\Login";
const char kCollectorKey[] = "\\Software\\Orvel\\DataCollector";

// A 32-bit decimal integer with an optional sign and nothing else around it;
// 0 otherwise.
int32_t ParseIntOrZero(const std::string& text) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') {
    ++first;
    if (first != last && *first == '-') return 0;
  }
  int32_t value = 0;
  const auto [end, error] = std::from_chars(first, last, value);
  return error == std::errc() && end == last && first != last ? value : 0;
}

// A number setting between 0 and maximum: missing, empty or not a number
// keeps the default; a value out of range is brought into it.
int32_t BoundedSettingFromText(const std::string& text, int32_t defaultValue, int32_t maximum) {
  const std::string trimmed = TrimText(text);
  if (trimmed.empty()) return defaultValue;
  if (trimmed != "0" && ParseIntOrZero(trimmed) == 0) return defaultValue;
  return std::clamp(ParseIntOrZero(trimmed), 0, maximum);
}

}  // namespace

TCorvaneInstallType InstallTypeFromText(const std::string& text) {
  const std::string trimmed = TrimText(text);
  if (SameTextAscii(trimmed, "A") || SameTextAscii(trimmed, "Server")) return TCorvaneInstallType::Server;
  if (SameTextAscii(trimmed, "D") || SameTextAscii(trimmed, "HQ Workstation")) {
    return TCorvaneInstallType::HQOffline;
  }
  return TCorvaneInstallType::Workstation;
}

void TDataCollectorConfiguration::LoadRegistryConfiguration() {
  TRegistry reg(kLocalMachine, kKeyAllAccess);
  FIsInstalled = true;
  if (!reg.OpenKey(kOrvelKey, false)) {
    FIsInstalled = false;
    return;
  }
  reg.CloseKey();
  if (reg.OpenKey(kInstallKey, false)) {
    FInstallType = InstallTypeFromText(reg.ReadString("InstallType"));
    FSWPath = reg.ReadString("PATH");
    reg.CloseKey();
  } else {
    FIsInstalled = false;
  }
  if (reg.OpenKey(kCorvaneKey, false)) {
    FInstalledVersion = reg.ReadString("Stage");
    reg.CloseKey();
  } else {
    FIsInstalled = false;
  }
  if (reg.OpenKey(kLoginKey, false)) {
    FDBPath = reg.ReadString("Database");
    reg.CloseKey();
  }
  if (reg.OpenKey(kCollectorKey, false)) {
    FClientToken = reg.ReadString("ClientToken");
    FRegLocCode = platform::UpperAscii(reg.ReadString("LocCode"));
    FLogCommunications = ParseIntOrZero(reg.ReadString("LogComm")) != 0;
    FServerKeyPin = reg.ReadString("ServerKeyPin");
    FLateSalesOverlap = BoundedSettingFromText(reg.ReadString("LateSalesOverlap"), kDefaultLateSalesOverlap,
                                               kMaxLateSalesOverlap);
    FLogRetentionDays = BoundedSettingFromText(reg.ReadString("LogRetentionDays"), kDefaultLogRetentionDays,
                                               kMaxLogRetentionDays);
    FUpdatePublicKey = reg.ReadString("UpdatePublicKey");
    reg.CloseKey();
  }
}
