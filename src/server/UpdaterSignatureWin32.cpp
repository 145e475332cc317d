// The updater's signature check on Windows. The system's cryptography of the
// oldest Windows supported (BCrypt of Windows 8.1) has no Ed25519, and the
// program carries no cryptography of its own: a signature cannot be checked,
// so an updater trusted only by a signature is refused. An updater fetched
// from a server pinned by ServerKeyPin needs no signature and is unaffected.
#include "server/UpdaterDownload.h"

bool UpdaterSignatureValid(const std::string&, const std::string&, const std::string&) {
  throw EUpdaterRefused(TUpdaterRefusal::BadSignature,
                        "Update refused: this system cannot check Ed25519 signatures; pin the server with "
                        "ServerKeyPin to trust its updaters");
}
