// The mailbox session record and its set-up, selection, the handlers bound
// to the POP3 client's events, and the log writer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Component.h"
#include "platform/StringList.h"
#include "spamfilter/CoreBuild.h"
#include "spamfilter/DataFiles.h"

class TPop3Client;  // the POP3 client, one build for both cores

KELVO_CORE_BEGIN

// One spam rule.
struct tVirdef {
  char art = 0;  // 'S' subject, 'F' sender, 'C' reduced subject, '#' size
  char op = 0;   // '*' contains, '<' starts with, '>' ends with, '#' size, other: contains
  std::string muster;  // upper case, trimmed; empty for size rules
  int32_t von = 0;     // size rules: inclusive bounds in bytes
  int32_t bis = 0;
  bool positiv = false;  // false: the rule fires when its test fails
};

// One message found by the last scan.
struct tMailSummary {
  int32_t nr = 0;       // POP3 message number in the scan's conversation
  int32_t groesse = 0;  // bytes, from LIST
  uint8_t spam = 0;     // 0 keep, 1 marked for deletion
  std::string from;     // untrusted server text, as received
  std::string subject;  // untrusted server text, as received
  // The whole header as the scan received it (TSummary's HeaderLength and
  // HeaderDigest), however little of it the entry keeps: the deletion pass
  // deletes only the message whose header is this one. The digest need not
  // resist a collision made on purpose: the server owns the mailbox, and a
  // server that wants a message gone needs no trick.
  uint64_t kopfLaenge = 0;
  uint64_t kopfDigest = 0;
};

// A text view that takes one line at a time; the window hands its log memo
// over, the console program none.
class tProtokollView {
 public:
  virtual ~tProtokollView() = default;
  virtual void AddLine(const std::string& zeile) = 0;
};

// Where the rejected-login handler writes its line; may stay empty.
extern tProtokollView* protokollMemo;

// Suffix of the line the rejected-login handler writes after the server name.
inline constexpr const char* kAuthFailedZeile = " +++ Authentication failed";
// Wait limit of every network step of a session's client, in milliseconds.
inline constexpr int32_t kSessionTimeOutMs = 10000;

// The unit of work: one POP3 client, the selected mailbox, the message list
// of the last scan and the rule table. Arrays are 1-based, slot 0 unused.
struct tMailboxMgmt {
  tMailboxMgmt() = default;
  // The client's handlers are bound to this very record.
  tMailboxMgmt(const tMailboxMgmt&) = delete;
  tMailboxMgmt& operator=(const tMailboxMgmt&) = delete;

  TPop3Client* pop3 = nullptr;  // owned by the owner given to Init
  tpop3id konto;
  int32_t aktuell = -1;  // selected position in the mailbox list, -1 none
  bool verbunden = false;
  uint16_t anzahl = 0;  // valid entries 1..anzahl
  std::vector<tMailSummary> summaries = std::vector<tMailSummary>(1);
  std::vector<platform::TStringList> headers = std::vector<platform::TStringList>(1);
  std::vector<tVirdef> virdefs = std::vector<tVirdef>(1);
  bool veraltet = true;  // stale: deletion refused
  bool abbruch = false;
  bool busy = false;
  // Marked entries that the last deletion pass kept on the server because
  // the message at their number was no longer the one the scan saw; they
  // stay in the list with their marks. 0 after a pass that failed, whose
  // list holds the unmarked entries only.
  uint16_t behalten = 0;
#ifdef KELVO_CONSOLE_BUILD
  int32_t fehler = 0;  // 2 definitions missing, 3 login returned not connected
  std::string fehlertext;
#endif
};

// Number of entries 1..n that both `anzahl` counts and the array holds; the
// loops over the list stop here.
inline size_t Eintraege(const tMailboxMgmt& s) {
  return std::min<size_t>(s.anzahl, s.summaries.empty() ? 0 : s.summaries.size() - 1);
}

// Creates the session's client (owner: `owner`, or the application object
// when empty), binds the failure handlers and deselects.
void Init(tMailboxMgmt& s, platform::TComponent* owner);

// Deselects unless busy: aktuell := -1, stale. Returns false when busy.
bool AuswahlZuruecksetzen(tMailboxMgmt& s);

// The same; the console build also clears the error code.
void ServerZuruecksetzen(tMailboxMgmt& s);

// Selects entry `index` of `liste` unless busy. An index outside the list
// deselects instead.
void ServerEinstellen(tMailboxMgmt& s, const tpop3list& liste, int32_t index);

// OnList handler: stores the size in the slot of the message number. Numbers
// outside the scan's slots are ignored.
void GroesseMerken(tMailboxMgmt& s, int32_t Msg, int32_t Size);

// OnAuthenticationFailed handler: one line to protokollMemo, asks for one
// more login attempt, and marks the session not connected.
void AuthenticationFailed(tMailboxMgmt& s, bool& Handled);

// OnConnectionFailed handler.
void ConnectionFailed(tMailboxMgmt& s, platform::TObject* Sender);

// Appends one line to the log file. "TIM": date and time then the text;
// "COMM": the text alone; any other category: category, ':' and the text.
// Failures are ignored. The session is not used.
void ProtokollSchreiben(tMailboxMgmt& s, std::string_view kategorie, std::string_view text);

KELVO_CORE_END
