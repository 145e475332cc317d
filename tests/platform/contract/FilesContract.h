#pragma once

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "platform/contract/SkippedCases.h"

// The contract of the file functions of platform/Files.h that the collector
// relies on, as one value-parameterised suite. The functions are those of the
// backend linked into the test program; each backend instantiates the suite
// once with its FilesBackend (see posix/ for this platform's). What only one
// platform promises (POSIX modes, owners, links) stays in that backend's tests.
// The cases are in FilesContract.cpp.

namespace contract {

struct FilesBackend {
  std::string name;  // a test-name part: letters and digits only
  SkippedCases skipped;  // cases its system keeps from holding, with why
};

std::string FilesBackendName(const ::testing::TestParamInfo<FilesBackend>& info);
// Shows the implementation by its name in the test list.
inline void PrintTo(const FilesBackend& implementation, std::ostream* out) { *out << implementation.name; }

class FilesContract : public ::testing::TestWithParam<FilesBackend> {
 protected:
  void SetUp() override { SkipIfListed(GetParam().skipped); }
};

}  // namespace contract
