// credential_cipher: prints the stored form of site-database credentials.
//
//   credential_cipher [--pass-phrase TEXT] CREDENTIAL...
//   credential_cipher [--pass-phrase TEXT] --decipher STORED...
//
// Without --pass-phrase the program's own pass phrase is used. Each result is
// printed on a line of its own.
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/DBCredentials.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"

namespace {

int Usage() {
  std::cerr << "usage: credential_cipher [--pass-phrase TEXT] [--decipher] VALUE...\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> passPhrase;
  bool decipher = false;
  std::vector<std::string> values;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--pass-phrase") == 0 && i + 1 < argc) {
      passPhrase = argv[++i];
    } else if (std::strcmp(argv[i], "--decipher") == 0) {
      decipher = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      return Usage();
    } else {
      values.emplace_back(argv[i]);
    }
  }
  if (values.empty()) return Usage();
  if (passPhrase && passPhrase->size() != 46) {
    std::cerr << "warning: the pass phrase has " << passPhrase->size()
              << " characters where the program's has 46\n";
  }
  try {
    const TCredentialKey key = passPhrase ? DeriveCredentialKey(*passPhrase) : CredentialKey();
    for (const std::string& value : values) {
      std::cout << (decipher ? DecipherCredential(value, key) : EncipherCredential(value, key))
                << '\n';
    }
  } catch (const EOrvelError& error) {
    std::cerr << "credential_cipher: " << error.what() << '\n';
    return 1;
  }
  return 0;
}
