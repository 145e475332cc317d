#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/VersionInfo.h"

// The backends' shared reading of the marked version block (EncodeVersionBlock
// writes it).

namespace platform {

// A block is never larger than this.
constexpr std::size_t kMaxVersionBlockSize = 65536;

// The block that `data` starts with, marker included.
std::optional<VersionBlock> VersionBlockAtStart(const std::string& data);
// The first well-formed block found anywhere in `data`.
std::optional<VersionBlock> FindVersionBlock(const std::string& data);

}  // namespace platform
