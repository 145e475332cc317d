#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "model/DataRow.h"

// An in-memory query row for tests, behaving as the database binding does:
// columns by name without regard to case, the first of two equal names wins,
// NULL reads as 0 / 0.0 / "", and a missing column raises EDatabaseError.
// Values convert between kinds as the binding converts them: a float read as
// an integer is rounded to nearest (ties away from zero), a number read as text
// gives its decimal text, text read as a number must hold one (EConvertError
// otherwise). Date-times are stored as floats.
class TMemoryRow : public TDataRow {
 public:
  struct Null {};
  using Value = std::variant<Null, int64_t, double, std::string>;

  TMemoryRow() = default;
  // Columns in order: {{"ObjId", int64_t{5}}, {"Data", 2.5}, {"Name", "x"}, {"Gone", TMemoryRow::Null{}}}
  TMemoryRow(std::initializer_list<std::pair<std::string, Value>> columns);

  // Adds a column, or replaces the value of the first column of that name.
  TMemoryRow& Set(std::string_view name, Value value);
  // Removes every column of that name.
  TMemoryRow& Remove(std::string_view name);

  bool HasField(std::string_view name) const override;
  bool IsNull(std::string_view name) const override;
  int64_t AsInteger(std::string_view name) const override;
  double AsFloat(std::string_view name) const override;
  TDateTime AsDateTime(std::string_view name) const override;
  std::string AsString(std::string_view name) const override;

 private:
  const Value* Find(std::string_view name) const;
  const Value& Column(std::string_view name) const;

  std::vector<std::pair<std::string, Value>> columns_;
};
