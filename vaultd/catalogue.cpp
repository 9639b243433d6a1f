// catalogue.cpp: the catalogue import used by --catalogue (see catalogue.h).
//
// The replication metadata import (metadata/) is not part of this build
// yet; until it is, no import function is available and --catalogue is
// refused rather than silently ignored. Wiring it in is one line:
// return importReplicationMetadata.
#include "vaultd/catalogue.h"

VaultImportFunction catalogueImportFunction() { return nullptr; }
