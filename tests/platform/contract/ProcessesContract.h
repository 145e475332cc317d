#pragma once

#include <functional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "platform/Processes.h"
#include "platform/contract/SkippedCases.h"

// The contract of platform/Processes.h (listing processes, starting a program
// detached, splitting a command line) as one value-parameterised suite. The
// functions are those of the backend linked into the test program; each
// backend instantiates the suite once with its ProcessesBackend, which gives
// what the cases need from the platform itself. The cases are in
// ProcessesContract.cpp.

namespace contract {

struct ProcessesBackend {
  std::string name;  // a test-name part: letters and digits only
  // This process's id as the system gives it.
  std::function<platform::ProcessId()> currentProcessId;
  // Ends a process this test started (it may have ended already).
  std::function<void(platform::ProcessId)> stop;
  SkippedCases skipped;  // cases its system keeps from holding, with why
};

std::string ProcessesBackendName(const ::testing::TestParamInfo<ProcessesBackend>& info);
// Shows the implementation by its name in the test list.
inline void PrintTo(const ProcessesBackend& implementation, std::ostream* out) { *out << implementation.name; }

class ProcessesContract : public ::testing::TestWithParam<ProcessesBackend> {
 protected:
  void SetUp() override { SkipIfListed(GetParam().skipped); }
};

}  // namespace contract
