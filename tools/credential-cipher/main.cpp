// credential_cipher: prints the stored form of site-database credentials.
//
//   credential_cipher [--pass-phrase TEXT] CREDENTIAL...
//   credential_cipher [--pass-phrase TEXT] --decipher STORED...
//
// Without --pass-phrase the program's own pass phrase is used. Each result is
// printed on a line of its own.
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/DBCredentials.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "platform/Processes.h"

namespace {

int Usage() {
  std::cerr << "usage: credential_cipher [--pass-phrase TEXT] [--decipher] VALUE...\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments = platform::ProgramArguments(argc, argv);
  platform::UseUtf8Console();
  std::optional<std::string> passPhrase;
  bool decipher = false;
  std::vector<std::string> values;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--pass-phrase" && i + 1 < arguments.size()) {
      passPhrase = arguments[++i];
    } else if (argument == "--decipher") {
      decipher = true;
    } else if (argument == "--help" || argument == "-h") {
      return Usage();
    } else {
      values.push_back(argument);
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
