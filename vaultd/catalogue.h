// catalogue.h: where the Vault stand-in finds the catalogue import.
//
// With --catalogue, vaultd imports every start-backup document into the
// catalogue (the service "localhost", database from RPD_CATALOGUE_DB) and
// answers with the catalogue's new backup number; an import that finds
// later backups of the instance is answered as out of order, any other
// failure as refused metadata. The import itself is the appliance's
// replication metadata import; this file is the one place that names it.
#pragma once

#include "vaultd/state.h"

// The import function linked into this build, or null when the build has
// none (vaultd then refuses --catalogue at start-up).
VaultImportFunction catalogueImportFunction();
