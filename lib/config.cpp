// config.cpp: definitions of the configuration globals (see config.h).
#include "lib/config.h"

char g_appdir[256];
char g_master_ini[256];
char g_bindir[256];
char g_initdir[256];
char g_utildir[256];
char g_libdir[256];
char g_xrdir[256];
char g_listdir[256];
char g_profiledir[256];
char g_infodir[256];
char g_reportdir[256];
char g_appname[64];
int g_nice = 0;
char ghAppName[64] = "rpd";
