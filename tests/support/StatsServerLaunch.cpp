#include "support/StatsServerLaunch.h"

#include <cstdlib>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

fs::path ServerScript() {
  if (const char* source = std::getenv("DC_SOURCE_DIR"); source != nullptr && *source != '\0') {
    return fs::path(source) / "tools" / "stats-server" / "stats_server.py";
  }
  // tests/support/StatsServerLaunch.cpp -> the source root.
  return fs::path(__FILE__).parent_path().parent_path().parent_path() / "tools" / "stats-server" /
         "stats_server.py";
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

}  // namespace

fs::path StatsServerParentFolder() { return fs::temp_directory_path(); }

void LaunchStatsServer(const fs::path& folder, const std::vector<std::string>& arguments) {
  std::string command =
      "python3 " + Quote(ServerScript().string()) + " --folder " + Quote(folder.string()) + " --lifetime 900";
  for (const std::string& argument : arguments) command += " " + Quote(argument);
  command += " >" + Quote((folder / "server.log").string()) + " 2>&1 &";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot start " + command);
}
