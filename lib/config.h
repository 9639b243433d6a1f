// config.h: the process-wide configuration globals of the appliance.
//
// They are filled by the configuration initialisation (daemon/settings.cpp)
// from "/etc/default/vx.ini" and master.ini and read everywhere else. They
// are written only at start-up (and in a single-threaded daemon pass), so
// they carry no lock; worker threads only read them.
#pragma once

// The installation directory ("/usr/vx" by default).
extern char g_appdir[256];
// Full path of master.ini.
extern char g_master_ini[256];
// Directory of the appliance's commands ("recipe", "fileDedup", ...).
extern char g_bindir[256];
// Initialisation directory ("vxinit").
extern char g_initdir[256];
extern char g_utildir[256];
extern char g_libdir[256];
extern char g_xrdir[256];
extern char g_listdir[256];
extern char g_profiledir[256];
extern char g_infodir[256];
extern char g_reportdir[256];
// Product name (OemName).
extern char g_appname[64];
// Priority choice taken from master.ini section "Nice" (0 = untouched).
extern int g_nice;
// Base name of the running program; "rpd" unless changed at start-up.
extern char ghAppName[64];

// g_logdir, log_level and log_simple are declared in lib/logger.h.
