#pragma once

#include <cstdint>
#include <utility>

#include "Shared/Orvel_Shared/OrvelExceptions.h"

// value as T; raises ERangeError ("Range check error") when T cannot hold it.
template <class T>
T RangeChecked(int64_t value) {
  if (!std::in_range<T>(value)) throw ERangeError();
  return static_cast<T>(value);
}
