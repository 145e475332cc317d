#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include "platform/ExceptionText.h"

// The failures of this program. Library errors are caught where the library is
// called and raised again as one of these, carrying the library's own message.

class EOrvelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A value outside the range of its destination ("Range check error").
class ERangeError : public EOrvelError {
 public:
  ERangeError() : EOrvelError("Range check error") {}
  using EOrvelError::EOrvelError;
};

// A dotted version text that cannot be read.
class EVersionException : public EOrvelError {
 public:
  using EOrvelError::EOrvelError;
};

// A registry value of the wrong type, or data that cannot be read or written.
class ERegistryException : public EOrvelError {
 public:
  using EOrvelError::EOrvelError;
};

// A file or folder that cannot be read, written or created.
class EInOutError : public EOrvelError {
 public:
  using EOrvelError::EOrvelError;
};

// A failure reported by the site database or its client library.
class EDatabaseError : public EOrvelError {
 public:
  using EOrvelError::EOrvelError;
};

// The database refused the login (unknown user or wrong password); the
// message names the login.
class EDatabaseLoginError : public EDatabaseError {
 public:
  using EDatabaseError::EDatabaseError;
};

// A failed transfer to or from the statistics server (connection, TLS, time-out,
// HTTP status outside 2xx).
class ETransferError : public EOrvelError {
 public:
  using EOrvelError::EOrvelError;
};

// A failure of the machine's network layer outside a transfer (a host-name
// lookup that fails).
class ENetworkError : public EOrvelError {
 public:
  using EOrvelError::EOrvelError;
};

// Text that does not convert to the value asked for.
class EConvertError : public EOrvelError {
 public:
  using EOrvelError::EOrvelError;
};

// The message of the exception being handled (see platform/ExceptionText.h).
using platform::CurrentExceptionMessage;

