#pragma once

#include <string>
#include <vector>

// The service manager's end of the notify protocol, played by a test: a real
// datagram socket bound to a path, which the program under test finds in
// NOTIFY_SOCKET. The socket file is removed with the object.
class NotifySocket {
 public:
  // Raises std::runtime_error when the socket cannot be bound.
  explicit NotifySocket(std::string path);
  ~NotifySocket();
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  const std::string& path() const { return FPath; }
  // Every message received so far, one entry per datagram, oldest first.
  const std::vector<std::string>& Received();
  // Whether a message received so far starts with prefix.
  bool HasMessage(const std::string& prefix);

 private:
  std::string FPath;
  int FFd = -1;
  std::vector<std::string> FMessages;
};
