#include "support/MemoryRow.h"

#include <charconv>
#include <cmath>
#include <cctype>

#include "Shared/Orvel_Shared/OrvelExceptions.h"

namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

double TextToFloat(const std::string& text) {
  double x = 0;
  const auto result = std::from_chars(text.data(), text.data() + text.size(), x);
  if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
    throw EConvertError("'" + text + "' is not a valid floating point value");
  }
  return x;
}

}  // namespace

TMemoryRow::TMemoryRow(std::initializer_list<std::pair<std::string, Value>> columns) {
  for (const auto& column : columns) Set(column.first, column.second);
}

TMemoryRow& TMemoryRow::Set(std::string_view name, Value value) {
  for (auto& column : columns_) {
    if (SameName(column.first, name)) {
      column.second = std::move(value);
      return *this;
    }
  }
  columns_.emplace_back(std::string(name), std::move(value));
  return *this;
}

TMemoryRow& TMemoryRow::Remove(std::string_view name) {
  std::erase_if(columns_, [&](const auto& column) { return SameName(column.first, name); });
  return *this;
}

const TMemoryRow::Value* TMemoryRow::Find(std::string_view name) const {
  for (const auto& column : columns_) {
    if (SameName(column.first, name)) return &column.second;
  }
  return nullptr;
}

const TMemoryRow::Value& TMemoryRow::Column(std::string_view name) const {
  const Value* value = Find(name);
  if (value == nullptr) throw EDatabaseError("Column unknown: " + std::string(name));
  return *value;
}

bool TMemoryRow::HasField(std::string_view name) const { return Find(name) != nullptr; }

bool TMemoryRow::IsNull(std::string_view name) const {
  return std::holds_alternative<Null>(Column(name));
}

int64_t TMemoryRow::AsInteger(std::string_view name) const {
  const Value& value = Column(name);
  if (const auto* n = std::get_if<int64_t>(&value)) return *n;
  if (const auto* x = std::get_if<double>(&value)) return static_cast<int64_t>(std::llround(*x));
  if (const auto* text = std::get_if<std::string>(&value)) {
    int64_t n = 0;
    const auto result = std::from_chars(text->data(), text->data() + text->size(), n);
    if (result.ec != std::errc() || result.ptr != text->data() + text->size()) {
      throw EConvertError("'" + *text + "' is not a valid integer value");
    }
    return n;
  }
  return 0;
}

double TMemoryRow::AsFloat(std::string_view name) const {
  const Value& value = Column(name);
  if (const auto* n = std::get_if<int64_t>(&value)) return static_cast<double>(*n);
  if (const auto* x = std::get_if<double>(&value)) return *x;
  if (const auto* text = std::get_if<std::string>(&value)) return TextToFloat(*text);
  return 0.0;
}

TDateTime TMemoryRow::AsDateTime(std::string_view name) const { return AsFloat(name); }

std::string TMemoryRow::AsString(std::string_view name) const {
  const Value& value = Column(name);
  if (const auto* n = std::get_if<int64_t>(&value)) return std::to_string(*n);
  if (const auto* x = std::get_if<double>(&value)) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, *x);
    return std::string(buffer, result.ptr);
  }
  if (const auto* text = std::get_if<std::string>(&value)) return *text;
  return std::string();
}
