#pragma once

// Readiness of the TLS layer before the first HTTPS connection. The TLS library
// is the system's (OpenSSL linked with the program, or Windows' Schannel), so
// there is nothing to write beside the program: the step checks that the
// library can make a TLS 1.2 client under the system's settings.
// True when it can; false otherwise (the caller then refuses to initialise).
// Never raises; thread-safe.
bool CreateSSLDLLs();
