#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "Shared/Orvel_Shared/DateTime.h"
#include "model/SystemTime.h"

// The JSON conventions of every document exchanged with the statistics server.
//
// A document is a tree of TJSONValue. Objects keep their members in the order
// they were first put, so a document is written the same way every time.
// All functions here are free of shared state and safe to call from any thread
// on distinct values.
using TJSONValue = nlohmann::ordered_json;

// The decimal separator of the general float format when the caller does not
// pass the one of the regional settings.
constexpr char kDefaultDecimalSeparator = '.';

// --- Path access ----------------------------------------------------------
//
// A path is a member name, or names joined by "." to reach into nested
// objects ("Header.LocCode"). A last name followed by "[]" means the array of
// that name ("ReferenceData.Employees[]").

// Puts value at path inside object. Intermediate objects and the final array
// of a "[]" path are created on first use; "[]" appends, any other last name
// replaces an existing member in place. A null object becomes an empty object
// first. Raises EConvertError when object, or a step on the way, exists but is
// not an object, when a "[]" member exists but is not an array, or when the
// path has an empty name.
void JSONPut(TJSONValue& object, std::string_view path, TJSONValue value);

// The value at path, or nullptr when any step is missing or is not an object.
// The pointer is valid while the tree is not changed.
const TJSONValue* JSONGet(const TJSONValue& object, std::string_view path);

// --- Value builders -------------------------------------------------------

// A JSON string holding text unchanged.
TJSONValue StrAsJSON(std::string_view text);
// A JSON string holding n in decimal ("-5", "0", "300"); never a JSON number.
TJSONValue IntAsJSON(int32_t n);
// A JSON string holding x in the general float format (FloatToGeneralText).
TJSONValue FloatAsJSON(double x, char decimalSeparator = kDefaultDecimalSeparator);
// FloatAsJSON of the seconds from startTime to endTime, (end - start) * 86400,
// rounded to the millisecond (the resolution of a date-time), so that two
// clock readings one hour apart give "3600".
TJSONValue ElapsedSecondsAsJSON(TDateTime endTime, TDateTime startTime,
                                char decimalSeparator = kDefaultDecimalSeparator);
// An object of JSON integers "Year", "Month", "DayOfWeek", "Day", "Hour",
// "Minute", "Second", "Milliseconds", in that order.
TJSONValue SystemTimeAsJSON(const TSystemTime& t);

// The general float format: x rounded to 15 significant digits, trailing zeros
// and a trailing separator removed, "-" for negatives, no thousands separators.
// Fixed notation unless x has more than 15 integer digits or 0 < |x| < 0.0001;
// then d[.ddd]E<exponent>, the exponent without "+" or leading zeros
// ("1.5E-7", "1E20"). NaN and infinities give "NAN", "INF" and "-INF".
std::string FloatToGeneralText(double x, char decimalSeparator = kDefaultDecimalSeparator);

// --- Text form ------------------------------------------------------------

// The compact text of value: no whitespace outside strings, members in tree
// order. In strings and member names only the double quote (\"), the
// backslash (\\) and NUL (\u0000) are escaped; every other byte, control
// characters and non-ASCII included, is written as it is. Integers in plain
// decimal, floats in the general float format with a point (non-finite floats
// as null). Never raises for any tree.
std::string JSONWrite(const TJSONValue& value);
// As JSONWrite, appending to out.
void JSONWriteTo(const TJSONValue& value, std::string& out);
// The number of bytes JSONWrite(value) gives.
size_t JSONTextSize(const TJSONValue& value);
// Appends s as a JSON string in the text form of JSONWrite: quoted, only the
// double quote, the backslash and NUL escaped.
void JSONWriteString(std::string_view s, std::string& out);
// The number of bytes JSONWriteString(s) appends.
size_t JSONStringSize(std::string_view s);

// Reads a server answer leniently:
// - text that begins like a JSON value gives the first complete value; text
//   after it is ignored;
// - text that does not begin like a JSON value ("", "Not Found", an HTML page)
//   gives one string holding the whole text with trailing white space removed;
// - text that begins like JSON but is broken gives std::nullopt.
// Strings may contain raw control characters, as JSONWrite leaves them. An
// integer beyond 64 bits is read as a float. Nesting deeper than 512 levels
// counts as broken. Never raises.
std::optional<TJSONValue> JSONParse(std::string_view text);

// --- Conversions of a received value ---------------------------------------
//
//  kind     AsBoolean   AsInteger               AsDouble       AsString
//  Boolean  itself      1 / 0                   1.0 / 0.0      "true" / "false"
//  integer  != 0        itself                  itself         decimal text
//  float    != 0        nearest, ties to even   itself         general format, point
//  string   not empty   decimal integer or 0    number or 0.0  itself
//  null     false       0                       0.0            ""
//  object,  true        0                       0.0            compact text
//  array

bool AsBoolean(const TJSONValue& value);
// Raises ERangeError for a float (or an unsigned integer) outside the signed
// 64-bit range, or NaN.
int64_t AsInteger(const TJSONValue& value);
double AsDouble(const TJSONValue& value);
std::string AsString(const TJSONValue& value);
