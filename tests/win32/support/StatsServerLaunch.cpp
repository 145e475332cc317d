// Under Wine, which cannot start a Linux program, the test statistics servers
// are started by tests/win32/stats_server_launcher.py, which the Windows test
// stage runs beside the tests; DC_STATS_SERVER_LAUNCHER names its folder as a
// Linux path, which Wine shows on drive Z:.
#include "support/StatsServerLaunch.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

fs::path StatsServerParentFolder() {
  const char* root = std::getenv("DC_STATS_SERVER_LAUNCHER");
  if (root == nullptr || *root == '\0')
    throw std::runtime_error("DC_STATS_SERVER_LAUNCHER is not set: no launcher of statistics servers runs");
  std::string folder = std::string("Z:") + root;
  std::replace(folder.begin(), folder.end(), '/', '\\');
  return folder;
}

void LaunchStatsServer(const fs::path& folder, const std::vector<std::string>& arguments) {
  const fs::path written = folder / "launch.tmp";
  {
    std::ofstream out(written, std::ios::binary | std::ios::trunc);
    for (const std::string& argument : arguments) out << argument << "\n";
    if (!out) throw std::runtime_error("cannot write " + written.string());
  }
  // The launcher takes the file only once it is whole.
  fs::rename(written, folder / "launch");
}
