#include "support/KeyPin.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

std::string PublicKeyPinOf(const std::string& certificateFile) {
  const std::string command = "openssl x509 -in '" + certificateFile +
                              "' -noout -pubkey | openssl pkey -pubin -outform der | "
                              "openssl dgst -sha256 -binary | openssl enc -base64";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) throw std::runtime_error("cannot run " + command);
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) output += buffer;
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  if (output.size() != 44) throw std::runtime_error("no pin from " + command + ": " + output);
  return "sha256//" + output;
}
