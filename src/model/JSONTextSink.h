#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "model/Base64Encoder.h"
#include "model/JSONConventions.h"

// Sinks for writing compact JSON text straight from records, in the text form
// of JSONWrite. TJSONTextSink appends the text to a string; TJSONSizeSink only
// counts its bytes. A writer templated on the sink runs once with each, so the
// exact size is known before the first byte is written and a large document
// is allocated once. Writers that can tell a size without producing the bytes
// test kCounts. Neither sink checks the structure it is given.

class TJSONTextSink {
 public:
  static constexpr bool kCounts = false;

  // out must outlive the sink.
  explicit TJSONTextSink(std::string& out) : FOut(out) {}

  // Text that needs no escaping: punctuation, quoted member names.
  void Raw(std::string_view text) { FOut.append(text); }
  void Raw(char c) { FOut += c; }
  // A JSON string holding s.
  void String(std::string_view s) { JSONWriteString(s, FOut); }
  void Integer(int64_t n) {
    char buffer[24];
    FOut.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, n).ptr);
  }
  void Boolean(bool b) { FOut.append(b ? "true" : "false"); }
  // A JSON string holding the Base64 text of data (which never needs escaping).
  void Base64String(std::span<const uint8_t> data) {
    FOut += '"';
    TBase64Encoder().EncodeTo(data, FOut);
    FOut += '"';
  }
  void Value(const TJSONValue& value) { JSONWriteTo(value, FOut); }

  std::string& Out() { return FOut; }

 private:
  std::string& FOut;
};

class TJSONSizeSink {
 public:
  static constexpr bool kCounts = true;

  void Raw(std::string_view text) { FSize += text.size(); }
  void Raw(char) { ++FSize; }
  void String(std::string_view s) { FSize += JSONStringSize(s); }
  void Integer(int64_t n) {
    char buffer[24];
    FSize += static_cast<size_t>(std::to_chars(buffer, buffer + sizeof buffer, n).ptr - buffer);
  }
  void Boolean(bool b) { FSize += b ? 4 : 5; }
  void Base64String(std::span<const uint8_t> data) { Base64StringOfSize(data.size()); }
  // The size of Base64String of that many bytes.
  void Base64StringOfSize(size_t bytes) { FSize += 2 + TBase64Encoder::EncodedLength(bytes); }
  void Value(const TJSONValue& value) { FSize += JSONTextSize(value); }

  size_t Size() const { return FSize; }

 private:
  size_t FSize = 0;
};
