#pragma once

#include <filesystem>
#include <string>
#include <vector>

// How a test statistics server (tools/stats-server/stats_server.py) is
// started, which depends on the system the tests run on: here as a child
// process; under Wine, which cannot start a Linux program, through the
// launcher that the Windows test stage runs beside the tests.

// The folder under which a server's working folder is made.
std::filesystem::path StatsServerParentFolder();

// Starts the server on `folder` with the given options of stats_server.py
// and returns without waiting for it to listen (its port file says when).
// Raises std::runtime_error when it cannot be started.
void LaunchStatsServer(const std::filesystem::path& folder, const std::vector<std::string>& arguments);
