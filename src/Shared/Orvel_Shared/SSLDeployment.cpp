#include "Shared/Orvel_Shared/SSLDeployment.h"

#include "platform/Crypto.h"

bool CreateSSLDLLs() { return platform::Tls12ClientAvailable(); }
