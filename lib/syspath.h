// syspath.h: the fixed absolute paths of the appliance.
//
// rpd and the appliance programs address a number of fixed files
// ("/etc/default/vx.ini", "/var/run/rpd.pid", "/backups/SISinfo", ...).
// Every such path is built by sysPath(). When the environment variable
// RPD_SYSROOT is set it is put in front of each path, so tests, benchmarks
// and the demo run side by side, each in its own directory tree, without
// root-owned system files. Unset, the paths are exactly the appliance's.
//
// The catalogue database is "vxdb". RPD_CATALOGUE_DB names another database
// of the same server instead, so each test can work on its own copy of the
// catalogue; unset, it is "vxdb".
#pragma once

#include <string>

// "/etc/default/vx.ini" -> "$RPD_SYSROOT/etc/default/vx.ini".
std::string sysPath(const char *absolutePath);
// Writes sysPath(absolutePath) into buf (size bytes); -1 when it does not fit.
int sysPath(char *buf, size_t size, const char *absolutePath);
// The catalogue database name ("vxdb" unless RPD_CATALOGUE_DB is set).
const char *catalogueDbName();
