#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// Writes integers and doubles little-endian, whatever the host's byte order,
// into a caller's buffer. The caller sizes the buffer; nothing is checked.
class TBinaryImageWriter {
 public:
  explicit TBinaryImageWriter(uint8_t* buffer) : start_(buffer), p_(buffer) {}

  template <class T>
    requires std::is_integral_v<T>
  void Put(T value) {
    auto bits = static_cast<std::make_unsigned_t<T>>(value);
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(p_, &bits, sizeof bits);
      p_ += sizeof bits;
    } else {
      for (size_t i = 0; i < sizeof(T); ++i) {
        *p_++ = static_cast<uint8_t>(bits & 0xFF);
        if constexpr (sizeof(T) > 1) bits >>= 8;
      }
    }
  }

  // IEEE 754 binary64.
  void Put(double value) { Put(std::bit_cast<uint64_t>(value)); }

  size_t Size() const { return static_cast<size_t>(p_ - start_); }

 private:
  uint8_t* start_;
  uint8_t* p_;
};
