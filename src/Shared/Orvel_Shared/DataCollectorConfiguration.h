#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

// Kind of installation of the site product. Only Server lets the collector run.
enum class TCorvaneInstallType { Server = 0, Hub = 1, Workstation = 2, HQOffline = 3 };

// One owned object of any type, freed with its own destructor. Lets a cache
// below the model layer own model records without knowing their type.
class TOwnedObject {
 public:
  TOwnedObject() : FObject(nullptr, [](void*) {}) {}
  template <class T>
  explicit TOwnedObject(std::unique_ptr<T> object)
      : FObject(object.release(), [](void* p) { delete static_cast<T*>(p); }),
        FType(&typeid(T)) {}

  // The object when it is a T; nullptr when empty or of another type.
  template <class T>
  T* As() const {
    return FType != nullptr && *FType == typeid(T) ? static_cast<T*>(FObject.get()) : nullptr;
  }
  bool Empty() const { return FObject == nullptr; }

 private:
  std::unique_ptr<void, void (*)(void*)> FObject;
  const std::type_info* FType = nullptr;
};

// A sorted cache of owned objects keyed by text (byte order). Adding under a
// key that exists replaces and frees the old object. Clear and destruction
// free every object. Not thread-safe.
class TKeyedObjectCache {
 public:
  template <class T>
  T* Add(const std::string& key, std::unique_ptr<T> object) {
    TOwnedObject& slot = FItems[key];
    slot = TOwnedObject(std::move(object));
    return slot.As<T>();
  }
  // The object under key when present and a T; nullptr otherwise.
  template <class T>
  T* Find(const std::string& key) const {
    auto it = FItems.find(key);
    return it == FItems.end() ? nullptr : it->second.As<T>();
  }
  // Frees the object under key; false when there was none.
  bool DeleteAndFree(const std::string& key) { return FItems.erase(key) > 0; }
  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  bool Empty() const { return FItems.empty(); }

  // Visits every entry in key order: f(key, object) for each object that is a T.
  template <class T, class F>
  void ForEach(F&& f) const {
    for (const auto& entry : FItems) {
      if (T* object = entry.second.template As<T>()) f(entry.first, *object);
    }
  }

 private:
  std::map<std::string, TOwnedObject> FItems;
};

// An ordered list of owned objects. Clear and destruction free every object.
// Not thread-safe.
class TOwningObjectList {
 public:
  // Appends the object (the list now owns it) and returns its index.
  template <class T>
  int Add(std::unique_ptr<T> object) {
    FItems.emplace_back(std::move(object));
    return Count() - 1;
  }
  // The object at index when it is a T; nullptr otherwise or out of range.
  template <class T>
  T* Item(int index) const {
    return index >= 0 && index < Count() ? FItems[static_cast<size_t>(index)].As<T>() : nullptr;
  }
  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  bool Empty() const { return FItems.empty(); }

 private:
  std::vector<TOwnedObject> FItems;
};

// The collector's configuration: the site's registry values (loaded by
// LoadRegistryConfiguration), the site row of the database (written by the
// database session) and the operating values of the server's Authorize answer.
// Also the reference caches that survive from cycle to cycle.
//
// After construction every Boolean is false, every number 0 (InstallType is
// Server), every text empty, every cache empty. Used by one thread; no lock.
class TDataCollectorConfiguration {
 public:
  TDataCollectorConfiguration() = default;
  TDataCollectorConfiguration(const TDataCollectorConfiguration&) = delete;
  TDataCollectorConfiguration& operator=(const TDataCollectorConfiguration&) = delete;

  // Reads the keys under HKEY_LOCAL_MACHINE\Software\Orvel into the fields.
  // Fields are never cleared first: a missing key keeps what an earlier load
  // stored; a missing value inside a present key reads as empty. Raises
  // ERegistryException ("Invalid data type for '<name>'" / "Failed to get data
  // for '<name>'") for a value that is not text or cannot be read; the fields
  // read before it keep their new values.
  void LoadRegistryConfiguration();

  // Registry-backed, read-only.
  bool IsInstalled() const { return FIsInstalled; }
  const std::string& ClientToken() const { return FClientToken; }
  const std::string& InstalledVersion() const { return FInstalledVersion; }
  const std::string& RegURL() const { return FRegURL; }  // always empty
  const std::string& RegLocCode() const { return FRegLocCode; }
  bool LogCommunications() const { return FLogCommunications; }
  TCorvaneInstallType InstallType() const { return FInstallType; }
  const std::string& DBPath() const { return FDBPath; }
  const std::string& SWPath() const { return FSWPath; }
  // "ServerKeyPin" of the collector key: the server key pins every HTTPS
  // exchange must match ("sha256//..." entries separated by ";"); "" when
  // the server's key is not checked.
  const std::string& ServerKeyPin() const { return FServerKeyPin; }
  // "LateSalesOverlap" of the collector key, in minutes: how far before the
  // current window each cycle looks for sale versions committed too late for
  // the cycle that covered their stamp. 0 turns the look off; missing or not
  // a number gives the default; at most one day.
  static constexpr int32_t kDefaultLateSalesOverlap = 10;
  static constexpr int32_t kMaxLateSalesOverlap = 1440;
  int32_t LateSalesOverlap() const { return FLateSalesOverlap; }
  void SetLateSalesOverlap(int32_t minutes) { FLateSalesOverlap = minutes; }
  // "LogRetentionDays" of the collector key: daily logs and crash reports
  // older than this many days are deleted. 0 keeps every file; missing or not
  // a number gives the default; at most ten years.
  static constexpr int32_t kDefaultLogRetentionDays = 90;
  static constexpr int32_t kMaxLogRetentionDays = 3650;
  int32_t LogRetentionDays() const { return FLogRetentionDays; }
  // "UpdatePublicKey" of the collector key: the Ed25519 public keys whose
  // detached signature makes a downloaded updater trusted (";"-separated
  // base64 texts); "" when none is configured.
  const std::string& UpdatePublicKey() const { return FUpdatePublicKey; }

  // Server-backed (Authorize).
  int32_t CycleTime() const { return FCycleTime; }
  void SetCycleTime(int32_t value) { FCycleTime = value; }
  bool SendStatistics() const { return FSendStatistics; }
  void SetSendStatistics(bool value) { FSendStatistics = value; }
  const std::string& DataURL() const { return FDataURL; }
  void SetDataURL(const std::string& value) { FDataURL = value; }
  int32_t HistoryStep() const { return FHistoryStep; }
  void SetHistoryStep(int32_t value) { FHistoryStep = value; }

  // Database-backed (the site row).
  const std::string& LocCode() const { return FLocCode; }
  void SetLocCode(const std::string& value) { FLocCode = value; }
  const std::string& DBFileVersion() const { return FDBFileVersion; }
  void SetDBFileVersion(const std::string& value) { FDBFileVersion = value; }
  int32_t DBSite() const { return FDBSite; }
  void SetDBSite(int32_t value) { FDBSite = value; }
  int32_t WorkWeekStartDay() const { return FWorkWeekStartDay; }
  void SetWorkWeekStartDay(int32_t value) { FWorkWeekStartDay = value; }
  const std::string& DayOpenTimes() const { return FDayOpenTimes; }
  void SetDayOpenTimes(const std::string& value) { FDayOpenTimes = value; }
  double SalesThreshold() const { return FSalesThreshold; }
  void SetSalesThreshold(double value) { FSalesThreshold = value; }
  int32_t WashCountThreshold() const { return FWashCountThreshold; }
  void SetWashCountThreshold(int32_t value) { FWashCountThreshold = value; }
  int32_t RivoRechargeTerminal() const { return FRivoRechargeTerminal; }
  void SetRivoRechargeTerminal(int32_t value) { FRivoRechargeTerminal = value; }

  // Employee cache: ObjID in decimal -> owned TEmployeeRecord copy, key order.
  TKeyedObjectCache& SiteEmployees() { return FSiteEmployees; }
  const TKeyedObjectCache& SiteEmployees() const { return FSiteEmployees; }
  // Employee-category cache: owned TEmpCategory copies in insertion order.
  TOwningObjectList& EmpCategories() { return FEmpCategories; }
  const TOwningObjectList& EmpCategories() const { return FEmpCategories; }
  // Plan-type cache: nothing fills it.
  TOwningObjectList& SitePlanTypes() { return FSitePlanTypes; }
  const TOwningObjectList& SitePlanTypes() const { return FSitePlanTypes; }

 private:
  bool FIsInstalled = false;
  std::string FClientToken;
  std::string FInstalledVersion;
  int32_t FCycleTime = 0;
  bool FSendStatistics = false;
  std::string FRegURL;
  std::string FDataURL;
  std::string FRegLocCode;
  std::string FLocCode;
  bool FLogCommunications = false;
  TCorvaneInstallType FInstallType = TCorvaneInstallType::Server;
  std::string FDBPath;
  std::string FSWPath;
  std::string FServerKeyPin;
  int32_t FLateSalesOverlap = kDefaultLateSalesOverlap;
  int32_t FLogRetentionDays = kDefaultLogRetentionDays;
  std::string FUpdatePublicKey;
  std::string FDBFileVersion;
  int32_t FDBSite = 0;
  int32_t FWorkWeekStartDay = 0;
  std::string FDayOpenTimes;
  double FSalesThreshold = 0;
  int32_t FWashCountThreshold = 0;
  int32_t FRivoRechargeTerminal = 0;
  int32_t FHistoryStep = 0;
  TKeyedObjectCache FSiteEmployees;
  TOwningObjectList FEmpCategories;
  TOwningObjectList FSitePlanTypes;
};

// Maps the stored "InstallType" text: trimmed of blanks and control characters,
// compared without regard to case; "A"/"Server" -> Server, "D"/"HQ Workstation"
// -> HQOffline, anything else -> Workstation.
TCorvaneInstallType InstallTypeFromText(const std::string& text);
