// The header scan, the rule check and the deletion pass of a session. Each
// is written once as a run of steps with an optional progress observer, so
// that the window's versions (with display) and the console build's versions
// (with error codes) stay thin wrappers.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include "platform/StringList.h"
#include "spamfilter/CoreBuild.h"
#include "spamfilter/Session.h"

KELVO_CORE_BEGIN

// A header text (its lines with CR LF) must be longer than this to give an
// entry.
inline constexpr size_t kMinHeaderText = 10;
// At most this much of a message's header text, in at most this many lines,
// is kept in its entry's header lines (sender and subject are taken from the
// whole text, and cut to the same length), so a server's headers cannot
// fill the memory entry by entry.
inline constexpr size_t kMaxGespeicherterHeader = 64 * 1024;
inline constexpr size_t kMaxGespeicherteZeilen = 1024;
// The entry count is 16 bits wide; a larger server count is cut to this.
inline constexpr int32_t kMaxEintraege = 65535;
// What the programs report after a deletion pass that kept `n` marked
// entries because they changed on the server (log, protocol page, box).
std::string GeaendertMeldung(int32_t n);

// Points at which a scan, check or deletion pass reports its progress. Every
// hook is called with the session in the state described; the defaults do
// nothing. A hook that throws ends the operation like a failure of the
// client, through its closing steps.
class tSessionObserver {
 public:
  virtual ~tSessionObserver() = default;

  // --- header scan
  // The client has its host, user and password; Connect comes next.
  virtual void ScanConnecting(tMailboxMgmt&) {}
  // Connect returned but a handler marked the session not connected; the
  // scan goes to its closing steps.
  virtual void ScanLoginLost(tMailboxMgmt&) {}
  // Logged in; `anzahl` holds the (16-bit) message count.
  virtual void ScanLoggedIn(tMailboxMgmt&) {}
  // The count is not 0; the slots are resized and LIST follows.
  virtual void ScanListing(tMailboxMgmt&) {}
  // Sizes read, header slots replaced by empty lists; fetching follows.
  virtual void ScanListed(tMailboxMgmt&) {}
  // TOP d 0 of `count` messages comes next.
  virtual void ScanFetching(tMailboxMgmt&, int32_t /*d*/, int32_t /*count*/) {}
  // Entry j is built (number, size, sender, subject, header lines).
  virtual void ScanEntryBuilt(tMailboxMgmt&, int32_t /*j*/) {}
  // Closing steps begin; QUIT (when the client is connected) comes next.
  virtual void ScanClosing(tMailboxMgmt&) {}
  // Logged out and `verbunden` cleared; busy and stale are set next.
  virtual void ScanClosed(tMailboxMgmt&) {}

  // --- rule check
  virtual void CheckStarting(tMailboxMgmt&) {}
  virtual void CheckingEntry(tMailboxMgmt&, int32_t /*i*/) {}
  // Entry i's mark is written.
  virtual void CheckedEntry(tMailboxMgmt&, int32_t /*i*/) {}
  // Called however the loop ended; busy is cleared next.
  virtual void CheckFinished(tMailboxMgmt&) {}

  // --- deletion pass
  // Marked and kept entries are sorted; Connect comes next.
  virtual void DeleteConnecting(tMailboxMgmt&) {}
  // Logged in, not yet any DELE.
  virtual void DeleteLoggedIn(tMailboxMgmt&) {}
  // The k-th marked entry (from 1), at `position`, is checked next and,
  // when unchanged on the server, deleted.
  virtual void Deleting(tMailboxMgmt&, int32_t /*k*/, int32_t /*position*/) {}
  // Closing steps begin; QUIT (when the client is connected) comes next.
  virtual void DeleteClosing(tMailboxMgmt&) {}
  // Logged out and `verbunden` cleared; the list is not yet compacted to the
  // `kept` entries (the unmarked ones and those of `behalten`).
  virtual void DeleteClosed(tMailboxMgmt&, int32_t /*kept*/) {}
  // The list holds only the kept entries; busy and stale are set next.
  virtual void DeleteCompacted(tMailboxMgmt&) {}

  // --- both scan and deletion pass
  // Connect failed with `e`. Return true to take the failure here: the
  // operation then ends through its closing steps and passes nothing on.
  virtual bool ConnectFailed(tMailboxMgmt&, const std::exception& /*e*/) { return false; }
};

// The header scan. Returns at once while busy. Failures of the client pass on
// after the closing steps unless the observer takes a Connect failure.
void MailheaderLadenSchritte(tMailboxMgmt& s, tSessionObserver* beobachter);

// The rule check: entries 1..anzahl get the answer of IsSpam as their mark.
void SpamcheckSchritte(tMailboxMgmt& s, tSessionObserver* beobachter);

// The deletion pass: for every marked entry TOP n 0, LIST n and DELE n, the
// DELE only when the whole header and the size are still those the scan
// saw; then QUIT. The list keeps the unmarked entries and, with their marks,
// the marked ones that changed on the server (counted in `behalten`); after
// a failure only the unmarked ones. Returns at once while busy or stale.
void MailheaderLoeschenSchritte(tMailboxMgmt& s, tSessionObserver* beobachter);

#ifndef KELVO_CONSOLE_BUILD
void MailheaderLaden(tMailboxMgmt& s);
void Spamcheck(tMailboxMgmt& s);
void MailheaderLoeschen(tMailboxMgmt& s);
#endif

// The rest of the first line that starts with `key` (case of a-z ignored),
// as received; empty when no line does. The session is not used.
std::string HeaderFeld(tMailboxMgmt& s, const platform::TStringList& zeilen, std::string_view key);

KELVO_CORE_END
