#pragma once

#include <string>

namespace platform {

// The message of the exception being handled: its what() text, or
// "Unknown exception" for one not derived from std::exception. Call only
// inside a catch block.
std::string CurrentExceptionMessage();

}  // namespace platform
