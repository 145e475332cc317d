#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Shared/Orvel_Shared/DateTime.h"
#include "model/CycleStatistics.h"
#include "model/DataCollectorStatusObj.h"
#include "model/JSONConventions.h"
#include "model/TimeZoneRecord.h"
#include "platform/TimeZone.h"

class TDataCollectorConfiguration;

// The documents the collector sends to the statistics server and the readers
// of its answers. Free functions without state; thread-safe on distinct
// values.

// The result of a time-zone query in the record the Authorize document is
// built from: Mode 0, 1 or 2 and the rules, or Mode kTimeZoneIdInvalid when
// the zone could not be read.
TTimeZoneRecord TimeZoneRecordOf(const std::optional<platform::TimeZoneState>& state);

// The "Timezone" object: "Mode", "Bias", "StandardName", "StandardBias",
// "StandardDate", "DaylightName", "DaylightBias", "DaylightDate", in that
// order.
TJSONValue TimeZoneAsJSON(const TTimeZoneRecord& zone);

// What the collector tells about itself in the Authorize document.
struct TAuthorizeIdentity {
  std::string LocCode;
  std::string Token;
  std::string SWVersion;
  std::string DCVersion;
  std::string MACAddress;  // "" leaves "Header.MACAddress" out
};

// The Authorize document: "Command" "Authorize", "LocCode", "Token",
// "SWVersion", "DCVersion", then "Header.MACAddress" when known and
// "Header.Timezone" when the zone's Mode is not kTimeZoneIdInvalid.
TJSONValue AuthorizeDocument(const TAuthorizeIdentity& identity, const TTimeZoneRecord& zone);

// Puts the members of a Post around the collected data in doc: "Command"
// "Post", the "Header" of the site (from cfg, dcVersion and macAddress, the
// MAC address only when not empty) and "Contents.SentDate" = now; then, when
// status is given, the history window ("Header.ActiveHistory...",
// "Header.LastSent") and the windows of this cycle ("Contents..."); then, when
// lastCycle is given, the "Statistics" of that cycle. Date-times are day
// counts in the general float format.
void PutPostMembers(TJSONValue& doc, const TDataCollectorConfiguration& cfg, const std::string& dcVersion,
                    const std::string& macAddress, TDateTime now, const TDataCollectorStatusObj* status,
                    const TCycleStatistics* lastCycle);

// AsInteger of an answer value that must fit a signed 32-bit field; raises
// ERangeError ("Range check error") when it does not.
int32_t AnswerInt32(const TJSONValue& value);

// The longest part of an answer text that a log line carries.
constexpr size_t kLoggedAnswerBytes = 4096;

// An answer text made fit for one log line: control characters (line breaks
// included) and DEL written as "\r", "\n", "\t" or "\xNN", so that the text
// can never start a line of its own. Other bytes stay as they are, so a JSON
// answer (which holds no raw control characters) is logged unchanged and
// still reads as JSON. A text longer than kLoggedAnswerBytes is
// cut there (never inside a UTF-8 character) and followed by
// "... (N bytes in all)".
std::string AnswerLogText(std::string_view answer);
