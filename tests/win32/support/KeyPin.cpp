// The pins of the Windows build's tests: the openssl command is a Linux
// program, so the launcher of the statistics servers (StatsServerLaunch.cpp)
// runs it and writes the pin beside the certificate.
#include "support/KeyPin.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

std::string PublicKeyPinOf(const std::string& certificateFile) {
  const std::filesystem::path file = certificateFile + ".pin";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!std::filesystem::exists(file)) {
    if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("no pin was written to " + file.string());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::ifstream in(file, std::ios::binary);
  const std::string pin{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (pin.size() != 52) throw std::runtime_error("no pin in " + file.string() + ": " + pin);
  return pin;
}
