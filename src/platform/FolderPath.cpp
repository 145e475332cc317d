#include "platform/Files.h"

namespace platform {

std::string WithPathSeparator(std::string folder) {
  if (!folder.empty() && folder.back() != '/' && folder.back() != PathSeparator()) folder += PathSeparator();
  return folder;
}

}  // namespace platform
