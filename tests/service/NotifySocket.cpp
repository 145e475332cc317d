#include "service/NotifySocket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

NotifySocket::NotifySocket(std::string path) : FPath(std::move(path)) {
  sockaddr_un address{};
  if (FPath.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long: " + FPath);
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", FPath.c_str());
  FFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (FFd < 0 || ::bind(FFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const std::string reason = std::strerror(errno);
    if (FFd >= 0) ::close(FFd);
    throw std::runtime_error("cannot bind " + FPath + ": " + reason);
  }
}

NotifySocket::~NotifySocket() {
  ::close(FFd);
  ::unlink(FPath.c_str());
}

const std::vector<std::string>& NotifySocket::Received() {
  char buffer[4096];
  ssize_t size = 0;
  while ((size = ::recv(FFd, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0) FMessages.emplace_back(buffer, size);
  return FMessages;
}

bool NotifySocket::HasMessage(const std::string& prefix) {
  for (const std::string& message : Received()) {
    if (message.rfind(prefix, 0) == 0) return true;
  }
  return false;
}
