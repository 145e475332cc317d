#pragma once

#include <string>

#include "support/StatsServer.h"

// The public-key pin of a certificate in the form "sha256//<base64>",
// computed with the openssl command that README.md gives for ServerKeyPin.
// Raises std::runtime_error when the command fails.
std::string PublicKeyPinOf(const std::string& certificateFile);

// The pin of the test statistics server's certificate.
inline std::string PublicKeyPinOf(const StatsServer& server) {
  return PublicKeyPinOf((server.files().parent_path() / "server.crt").string());
}
