#include "server/ServerDocuments.h"

#include <limits>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"

namespace {

TSystemTime SystemTimeOf(const platform::TimeZoneDate& d) {
  TSystemTime t;
  t.wYear = static_cast<uint16_t>(d.year);
  t.wMonth = static_cast<uint16_t>(d.month);
  t.wDayOfWeek = static_cast<uint16_t>(d.dayOfWeek);
  t.wDay = static_cast<uint16_t>(d.day);
  t.wHour = static_cast<uint16_t>(d.hour);
  t.wMinute = static_cast<uint16_t>(d.minute);
  t.wSecond = static_cast<uint16_t>(d.second);
  return t;
}

}  // namespace

TTimeZoneRecord TimeZoneRecordOf(const std::optional<platform::TimeZoneState>& state) {
  TTimeZoneRecord zone;
  if (!state) return zone;
  zone.Mode = static_cast<uint32_t>(state->period);
  const platform::TimeZoneRules& rules = state->rules;
  zone.Info.Bias = rules.bias;
  zone.Info.StandardName = TimeZoneNameFromText(rules.standardName);
  zone.Info.StandardDate = SystemTimeOf(rules.standardDate);
  zone.Info.StandardBias = rules.standardBias;
  zone.Info.DaylightName = TimeZoneNameFromText(rules.daylightName);
  zone.Info.DaylightDate = SystemTimeOf(rules.daylightDate);
  zone.Info.DaylightBias = rules.daylightBias;
  return zone;
}

TJSONValue TimeZoneAsJSON(const TTimeZoneRecord& zone) {
  TJSONValue tz = TJSONValue::object();
  JSONPut(tz, "Mode", FloatAsJSON(static_cast<double>(zone.Mode)));
  JSONPut(tz, "Bias", IntAsJSON(zone.Info.Bias));
  JSONPut(tz, "StandardName", StrAsJSON(TimeZoneNameText(zone.Info.StandardName)));
  JSONPut(tz, "StandardBias", IntAsJSON(zone.Info.StandardBias));
  JSONPut(tz, "StandardDate", SystemTimeAsJSON(zone.Info.StandardDate));
  JSONPut(tz, "DaylightName", StrAsJSON(TimeZoneNameText(zone.Info.DaylightName)));
  JSONPut(tz, "DaylightBias", IntAsJSON(zone.Info.DaylightBias));
  JSONPut(tz, "DaylightDate", SystemTimeAsJSON(zone.Info.DaylightDate));
  return tz;
}

TJSONValue AuthorizeDocument(const TAuthorizeIdentity& identity, const TTimeZoneRecord& zone) {
  TJSONValue doc = TJSONValue::object();
  JSONPut(doc, "Command", StrAsJSON("Authorize"));
  JSONPut(doc, "LocCode", StrAsJSON(identity.LocCode));
  JSONPut(doc, "Token", StrAsJSON(identity.Token));
  JSONPut(doc, "SWVersion", StrAsJSON(identity.SWVersion));
  JSONPut(doc, "DCVersion", StrAsJSON(identity.DCVersion));
  if (!identity.MACAddress.empty()) JSONPut(doc, "Header.MACAddress", StrAsJSON(identity.MACAddress));
  if (zone.Mode != TTimeZoneRecord::kTimeZoneIdInvalid) JSONPut(doc, "Header.Timezone", TimeZoneAsJSON(zone));
  return doc;
}

void PutPostMembers(TJSONValue& doc, const TDataCollectorConfiguration& cfg, const std::string& dcVersion,
                    const std::string& macAddress, TDateTime now, const TDataCollectorStatusObj* status,
                    const TCycleStatistics* lastCycle) {
  JSONPut(doc, "Command", StrAsJSON("Post"));
  JSONPut(doc, "Header.LocCode", StrAsJSON(cfg.LocCode()));
  JSONPut(doc, "Header.WorkWeekStartDay", IntAsJSON(cfg.WorkWeekStartDay()));
  JSONPut(doc, "Header.SalesThreshold", FloatAsJSON(cfg.SalesThreshold()));
  JSONPut(doc, "Header.DayOpenTimes", StrAsJSON(cfg.DayOpenTimes()));
  JSONPut(doc, "Header.WashCountThreshold", IntAsJSON(cfg.WashCountThreshold()));
  JSONPut(doc, "Header.DBVersion", StrAsJSON(cfg.DBFileVersion()));
  JSONPut(doc, "Header.SWVersion", StrAsJSON(cfg.InstalledVersion()));
  JSONPut(doc, "Header.DCVersion", StrAsJSON(dcVersion));
  if (!macAddress.empty()) JSONPut(doc, "Header.MACAddress", StrAsJSON(macAddress));
  JSONPut(doc, "Contents.SentDate", FloatAsJSON(now));

  if (status != nullptr) {
    JSONPut(doc, "Header.ActiveHistoryStart", FloatAsJSON(status->ActiveHistoryStart));
    JSONPut(doc, "Header.ActiveHistoryEnd", FloatAsJSON(status->ActiveHistoryEnd));
    JSONPut(doc, "Header.ActiveHistorySingleFact", IntAsJSON(status->ActiveHistoryFactID));
    JSONPut(doc, "Header.LastSent", FloatAsJSON(status->LastSent));
    JSONPut(doc, "Contents.ContentsStart", FloatAsJSON(status->CurrentCycleStart));
    JSONPut(doc, "Contents.ContentsEnd", FloatAsJSON(status->CurrentCycleEnd));
    JSONPut(doc, "Contents.HistoryStart", FloatAsJSON(status->CurrentHistoryStart));
    JSONPut(doc, "Contents.HistoryEnd", FloatAsJSON(status->CurrentHistoryEnd));
    JSONPut(doc, "Contents.SkipHistory", IntAsJSON(status->SkipHistory ? 1 : 0));
  }

  if (lastCycle != nullptr) {
    const TCycleStatistics& s = *lastCycle;
    JSONPut(doc, "Statistics.RetrieveTime", FloatAsJSON(s.SendStart));
    JSONPut(doc, "Statistics.Initialize", ElapsedSecondsAsJSON(s.InitializeEnd, s.InitializeStart));
    JSONPut(doc, "Statistics.Load", ElapsedSecondsAsJSON(s.LoadEnd, s.LoadStart));
    JSONPut(doc, "Statistics.Retrieve", ElapsedSecondsAsJSON(s.RetrieveEnd, s.RetrieveStart));
    JSONPut(doc, "Statistics.Send", ElapsedSecondsAsJSON(s.SendEnd, s.SendStart));
    JSONPut(doc, "Statistics.Save", ElapsedSecondsAsJSON(s.SaveEnd, s.SaveStart));
    JSONPut(doc, "Statistics.GetCurSales", ElapsedSecondsAsJSON(s.GetCurSalesEnd, s.GetCurSalesStart));
    JSONPut(doc, "Statistics.GetHistSales", ElapsedSecondsAsJSON(s.GetHistSalesEnd, s.GetHistSalesStart));
    JSONPut(doc, "Statistics.GetCurLabor", ElapsedSecondsAsJSON(s.GetCurLaborEnd, s.GetCurLaborStart));
    JSONPut(doc, "Statistics.GetHistLabor", ElapsedSecondsAsJSON(s.GetHistLaborEnd, s.GetHistLaborStart));
    JSONPut(doc, "Statistics.GetSaleEmp", ElapsedSecondsAsJSON(s.GetSaleEmpEnd, s.GetSaleEmpStart));
    JSONPut(doc, "Statistics.GetRefTerm", ElapsedSecondsAsJSON(s.GetRefTermEnd, s.GetRefTermStart));
    JSONPut(doc, "Statistics.GetRefEmp", ElapsedSecondsAsJSON(s.GetRefEmpEnd, s.GetRefEmpStart));
    JSONPut(doc, "Statistics.GetRefRole", ElapsedSecondsAsJSON(s.GetRefRoleEnd, s.GetRefRoleStart));
    JSONPut(doc, "Statistics.GetRefSvc", ElapsedSecondsAsJSON(s.GetRefSvcEnd, s.GetRefSvcStart));
    JSONPut(doc, "Statistics.ClearLabor", ElapsedSecondsAsJSON(s.ClearLaborEnd, s.ClearLaborStart));
    JSONPut(doc, "Statistics.SendSize", FloatAsJSON(s.SendSize));
  }
}

int32_t AnswerInt32(const TJSONValue& value) {
  const int64_t n = AsInteger(value);
  if (n < std::numeric_limits<int32_t>::min() || n > std::numeric_limits<int32_t>::max()) throw ERangeError();
  return static_cast<int32_t>(n);
}

std::string AnswerLogText(std::string_view answer) {
  size_t cut = answer.size();
  if (cut > kLoggedAnswerBytes) {
    cut = kLoggedAnswerBytes;
    // Back to the first byte of a UTF-8 character.
    while (cut > 0 && (static_cast<unsigned char>(answer[cut]) & 0xC0) == 0x80) --cut;
  }
  std::string text;
  text.reserve(cut + 32);
  for (size_t i = 0; i < cut; ++i) {
    const auto c = static_cast<unsigned char>(answer[i]);
    switch (c) {
      case '\r':
        text += "\\r";
        break;
      case '\n':
        text += "\\n";
        break;
      case '\t':
        text += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          static const char kHex[] = "0123456789ABCDEF";
          text += "\\x";
          text += kHex[c >> 4];
          text += kHex[c & 0xF];
        } else {
          text += static_cast<char>(c);
        }
    }
  }
  if (cut < answer.size()) text += "... (" + std::to_string(answer.size()) + " bytes in all)";
  return text;
}
