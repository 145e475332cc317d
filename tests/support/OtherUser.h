#pragma once

#include <functional>
#include <optional>
#include <string>

// Runs body in a child process as the unprivileged user "nobody" and returns
// its result (body's return value; 100 + the signal when it died of one).
// Only root can change user: nothing when the test does not run as root or
// the user does not exist; the caller then skips with a message.
std::optional<int> RunAsNobody(const std::function<int()>& body);

// Why RunAsNobody could not run, for the skip message.
std::string NobodyUnavailableReason();

// A process holding a lock (flock) on a file until the object is destroyed.
class ForeignLock {
 public:
  // Locks path (opened read-only) exclusively or shared; returns once held.
  // Raises std::runtime_error when the lock cannot be taken.
  ForeignLock(const std::string& path, bool exclusive);
  ~ForeignLock();
  ForeignLock(const ForeignLock&) = delete;
  ForeignLock& operator=(const ForeignLock&) = delete;

 private:
  int FPid = -1;
};
