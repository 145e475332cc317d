#include "collector/FirebirdClient.h"

Firebird::IMaster* FirebirdMaster() { return Firebird::fb_get_master_interface(); }
