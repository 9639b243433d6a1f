// catalogue.cpp: the catalogue import used by --catalogue (see catalogue.h):
// the appliance's own replication metadata import, so the Vault's
// out-of-order and refused answers come from the real rule.
#include "vaultd/catalogue.h"

#include "metadata/replication.h"

VaultImportFunction catalogueImportFunction() { return importReplicationMetadata; }
