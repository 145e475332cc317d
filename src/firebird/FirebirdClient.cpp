#include "firebird/FirebirdClient.h"

Firebird::IMaster* FirebirdMaster() { return Firebird::fb_get_master_interface(); }
