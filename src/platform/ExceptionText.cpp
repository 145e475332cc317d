#include "platform/ExceptionText.h"

#include <exception>
#include <stdexcept>

namespace platform {

std::string CurrentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
}

}  // namespace platform
