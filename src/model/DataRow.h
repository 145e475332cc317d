#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "Shared/Orvel_Shared/DateTime.h"

// One row of a query result, read by column name. Names compare without regard
// to case; when a result has two columns of one name the first one wins. A NULL
// column reads as 0, 0.0, the date-time 0 or the empty string. Reading a column
// the row does not have raises EDatabaseError naming the column.
class TDataRow {
 public:
  virtual ~TDataRow() = default;

  virtual bool HasField(std::string_view name) const = 0;
  virtual bool IsNull(std::string_view name) const = 0;
  virtual int64_t AsInteger(std::string_view name) const = 0;
  virtual double AsFloat(std::string_view name) const = 0;
  virtual TDateTime AsDateTime(std::string_view name) const = 0;
  virtual std::string AsString(std::string_view name) const = 0;
};
