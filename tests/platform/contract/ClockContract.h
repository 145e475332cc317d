#pragma once

#include <functional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "platform/contract/SkippedCases.h"

// The contract of the local wall clock (platform/Clock.h) as one
// value-parameterised suite. The clock is the backend's CurrentLocalTime; each
// backend instantiates the suite once with its ClockBackend, which gives an
// independent reading of the same local time to compare with. The cases are
// in ClockContract.cpp.

namespace contract {

struct ClockBackend {
  std::string name;  // a test-name part: letters and digits only
  // The machine's local time to the second, read without CurrentLocalTime.
  std::function<platform::LocalTime()> reference;
  SkippedCases skipped;  // cases its system keeps from holding, with why
};

std::string ClockBackendName(const ::testing::TestParamInfo<ClockBackend>& info);
// Shows the implementation by its name in the test list.
inline void PrintTo(const ClockBackend& implementation, std::ostream* out) { *out << implementation.name; }

class ClockContract : public ::testing::TestWithParam<ClockBackend> {
 protected:
  void SetUp() override { SkipIfListed(GetParam().skipped); }
};

}  // namespace contract
