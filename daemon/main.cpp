// main.cpp: the rpd executable; everything else of the daemon is in the
// rpd_daemon library so tests can link it.
#include "daemon/rpd.h"

int main(int argc, char **argv) { return rpdMain(argc, argv); }
