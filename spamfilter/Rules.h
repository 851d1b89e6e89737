// The spam definitions: parsing the definitions text into a session's rule
// table, and testing message entries against it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/StringList.h"
#include "spamfilter/CoreBuild.h"
#include "spamfilter/DataFiles.h"
#include "spamfilter/Session.h"

KELVO_CORE_BEGIN

// The known section headers, in the order that gives their numbers 1 to 4.
inline constexpr const char* kVirdefSektionen = "[SUBJECT] [FROM] [SCRAMBLE-SUBJECT] [SIZE]";
// `art` of the rules of sections 1 to 4.
inline constexpr const char* kVirdefArten = "SFC#";
// Only this many characters of a trimmed definitions line count.
inline constexpr size_t kVirdefZeileMax = 255;

// Replaces the session's rule table with the rules of `zeilen`. A size bound
// that is no number raises EConvertError; the table then holds the rules of
// the lines before the failing one.
void VirdefsUebernehmen(tMailboxMgmt& s, const platform::TStringList& zeilen);
void VirdefsUebernehmen(tMailboxMgmt& s, const tZeilenQuelle& zeilen);

// The definitions file when it exists, else its example file.
std::string VirdefsDateiWaehlen();

// Reads `pfad` (EFOpenError naming it when it cannot be read) and parses
// it into the session's rule table, line by line, without holding its text.
void VirdefsAusDateiLesen(tMailboxMgmt& s, const std::string& pfad);

#ifndef KELVO_CONSOLE_BUILD
// Reads the definitions file, or its example when the file is missing.
void VirdefsLesen(tMailboxMgmt& s);
#endif

// Keeps blanks, digits and ASCII letters, in their order.
std::string Descramble(std::string_view text);

// True when at least one rule fires for entry i (1..anzahl).
bool IsSpam(tMailboxMgmt& s, int32_t i);

// Number of entries 1..anzahl with the spam mark set.
int32_t SpamAnzahl(tMailboxMgmt& s);

KELVO_CORE_END
