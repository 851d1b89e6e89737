// The console build of the filter core: the mailbox list loader and the
// console versions of four session operations, which record three failures
// as an error code and message in the records instead of raising them:
// 1 mailbox list missing, 2 definitions missing, 3 login returned with the
// session marked not connected.
#pragma once

#include <string>

#include "spamfilter/USpamfilter.h"

#ifndef KELVO_CONSOLE_BUILD
#error "the console build of the filter core needs KELVO_CONSOLE_BUILD (link kelvo_spamfilter_console)"
#endif

inline constexpr int32_t kFehlerServerliste = 1;
inline constexpr int32_t kFehlerDefinitionen = 2;
inline constexpr int32_t kFehlerVerbindung = 3;

// The messages of the three codes; 1 and 2 name the real files' paths.
std::string ServerlisteFehlertext();
std::string DefinitionenFehlertext();
inline constexpr const char* kVerbindungFehlertext = "Konnte nicht verbinden";

// Loads the mailbox list file, or its example when it is missing; code 1
// when neither exists. A file that exists but cannot be read raises.
void ServerlisteLesen(tpop3list& liste);

// Reads one mailbox list file whole and parses it into `liste`.
void ServerdateiLesen(tpop3list& liste, const std::string& pfad);

// Loads the definitions file, or its example; code 2 when neither exists,
// the rule table then stays as it was.
void VirdefsLesen(tMailboxMgmt& s);

// The header scan; nothing without a selected mailbox. Code 3 when the login
// returns with the session marked not connected.
void MailheaderLaden(tMailboxMgmt& s);

// The rule check; nothing without a selected mailbox.
void Spamcheck(tMailboxMgmt& s);

// The deletion pass; nothing without a selected mailbox. Records no code.
void MailheaderLoeschen(tMailboxMgmt& s);
