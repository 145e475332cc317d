#pragma once

#include <firebird/Interface.h>

// The Firebird client library's master interface. On POSIX the library is
// linked with the program. On Windows it is loaded when first needed, from
// the first of: "fbclient.dll" beside the program, in the folder of the
// default Firebird instance the registry names, along the system's search
// path. A library that cannot be loaded raises EDatabaseError naming every
// place tried (and again on every call: a library installed later is found).
// Thread-safe.
Firebird::IMaster* FirebirdMaster();
