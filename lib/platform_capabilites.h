// platform_capabilites.h: what the appliance platform supports, from the
// platform capability file and the appliance's platformSupportsDedup
// program.
#pragma once

// 1 when the capability file lists the word "dedupNT" at a line start, else
// 0 (also when the check cannot run).
int platformSupportsDedupNT();
// The exit status (0..4) of "<g_bindir>/platformSupportsDedup"; 0 when it
// cannot run, is killed, or answers above 4.
int platformSupportsDedup();
// 1 when a line of the capability file holds the word "replication"
// standing alone; 0 otherwise or when the file is missing.
int platformSupportsReplication();
