#include "support/ReportProgram.h"

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

std::string TestProgramPath(const std::string& name) {
  const char* binaryDir = std::getenv("DC_TEST_BINARY_DIR");
  if (binaryDir == nullptr) throw std::runtime_error("DC_TEST_BINARY_DIR is not set");
  std::filesystem::path path = std::filesystem::path(binaryDir) / "tests" / "platform" / name;
#ifdef _WIN32
  // A full path in the system's own form, as a command line names a program.
  path = std::filesystem::absolute(path.concat(".exe")).make_preferred();
#endif
  if (!std::filesystem::exists(path)) throw std::runtime_error("test program " + path.string() + " is not built");
  return path.string();
}

std::optional<ProgramReport> WaitForReport(const std::string& reportFile, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!std::filesystem::exists(reportFile)) {
    if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::ifstream in(reportFile);
  ProgramReport report;
  std::string line;
  while (std::getline(in, line)) {
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    std::string value = line.substr(equals + 1);
    if (key == "pid") report.pid = std::atol(value.c_str());
    if (key == "ppid") report.ppid = std::atol(value.c_str());
    if (key == "sid") report.sid = std::atol(value.c_str());
    if (key == "env") report.env = value;
    if (key == "version") report.version = value;
    if (key == "fd") report.fd = value;
    if (key == "arg") report.args.push_back(value);
  }
  return report;
}
