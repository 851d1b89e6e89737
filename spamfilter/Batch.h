// The batch run: one mailbox cleaned from start to end without display.
#pragma once

#include <cstdint>

#include "spamfilter/Session.h"

// Set while a batch run is in progress, whatever session it runs on.
extern bool autodeleteAktiv;

// Re-reads the definitions file, scans, checks, deletes the marked messages
// and, with `protokoll`, logs the count, and then how many marked messages
// were kept because they changed on the server (`behalten`), if any. Returns the number of messages
// marked for deletion; 0 when a run is already in progress. Failures pass on.
int32_t Autodelete(tMailboxMgmt& s, bool protokoll);
