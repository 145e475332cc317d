#include "collector/FirebirdClient.h"

Firebird::IMaster* FirebirdMaster() { return fb_get_master_interface(); }
