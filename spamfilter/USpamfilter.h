// The spam filter core: mailbox list, spam definitions, session record,
// header scan, rule check, deletion pass, log and (outside the console
// build) batch run and mark export.
#pragma once

#include "spamfilter/DataFiles.h"
#include "spamfilter/Rules.h"
#include "spamfilter/Scan.h"
#include "spamfilter/Session.h"
#include "spamfilter/qsstringfunktionen.h"
#ifndef KELVO_CONSOLE_BUILD
#include "spamfilter/Batch.h"
#include "spamfilter/Export.h"
#endif
