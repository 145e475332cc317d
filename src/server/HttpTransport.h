#pragma once

#include <string>

class TStopSignal;

// What the transports of THttpClient (HttpClientCurl.cpp, HttpClientSystem.cpp;
// the build compiles one) share.

// The pins of ServerKeyPin, checked and joined by ";" without blanks, or a
// raised ETransferError for malformed ones.
std::string CheckedKeyPins(const std::string& pins);

// The checks before a request is made: a stop already requested and pins
// that forbid the URL raise ETransferError. Returns the checked pins ("" for
// none).
std::string CheckRequest(const std::string& url, const TStopSignal* stop, bool tls, const std::string& pins);
