// The window-bound session: the interactive session of the desktop program,
// a tMailboxMgmt that also knows the window's message grid and status bar.
// Its scan, check and deletion pass are the core's, with progress shown in
// the four status-bar panels and the grid rows written as entries arrive.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Component.h"
#include "spamfilter/USpamfilter.h"

namespace desktop {
class TStringGrid;
class TStatusBar;
}  // namespace desktop

// One state-sign character per message or entry: entry k shows the
// character at index k mod 4 ("/" for 1, "|" for 2, "\" for 3, "-" for 4).
inline constexpr const char* Spinner = "-/|\\";
inline constexpr int kSpinnerLaenge = 4;

// Panels of the status bar, by index.
inline constexpr int kPanelZustand = 0;
inline constexpr int kPanelFortschritt = 1;
inline constexpr int kPanelServer = 2;
inline constexpr int kPanelTaetigkeit = 3;

// Columns of the message grid.
inline constexpr int kSpalteNr = 0;
inline constexpr int kSpalteMarke = 1;
inline constexpr int kSpalteGroesse = 2;
inline constexpr int kSpalteSubject = 3;
inline constexpr int kSpalteFrom = 4;
inline constexpr int kGridSpalten = 5;

// Texts of the boxes the session shows.
inline constexpr const char* kBoxKeineVerbindung = "Serververbindung nicht möglich";
inline constexpr const char* kBoxKeineVerbindungTitel = "Anmeldung";
inline constexpr const char* kBoxAnmeldungAbgelehnt = "Anmeldung nicht möglich";
inline constexpr const char* kBoxAnmeldungAbgelehntTitel = "Mailbox";
// Caption of the box after a deletion pass that kept changed messages; its
// text is GeaendertMeldung.
inline constexpr const char* kBoxGeaendertTitel = "Mailbox";

struct tGUIMailboxMgmt : tMailboxMgmt {
  desktop::TStringGrid* Grid = nullptr;        // not owned; the window's sg_list
  desktop::TStatusBar* Statusleiste = nullptr;  // not owned; the window's statusbar
};

// Init with `owner`, then the rejected-login handler of this unit in place
// of the core's. The caller binds Grid and Statusleiste afterwards.
void GUIInit(tGUIMailboxMgmt& s, platform::TComponent* owner);

// OnAuthenticationFailed handler: the core handler's log-page line and
// retry request, then the box "Anmeldung nicht möglich".
void GUIAuthenticationFailed(tGUIMailboxMgmt& s, bool& Handled);

// Header scan with display. A failure of Connect is shown in a box and goes
// no further; a later failure passes on after the closing steps. A scan that
// ends at the login or finds no mail leaves no entries (anzahl 0) and no
// cell below the title row.
void GUIMailheaderLaden(tGUIMailboxMgmt& s);
// Rule check with display: every row's mark is rewritten.
void GUISpamcheck(tGUIMailboxMgmt& s);
// Deletion pass with display; Connect failures as in the scan. When marked
// messages changed on the server, they stay in the grid with their marks
// and one box says how many.
void GUIMailheaderLoeschen(tGUIMailboxMgmt& s);

// n data rows under the title row, all emptied (row 1 also when n is 0).
void GUISetRowCount(tGUIMailboxMgmt& s, int n);
// Writes entry r into data row r, cells 0 to 4.
void GUIShowRow(tGUIMailboxMgmt& s, int r);
// GUIShowRow for every data row of the grid.
void GUIShowAllRows(tGUIMailboxMgmt& s);

// The state sign for message or entry k (from 1).
std::string SpinnerZeichen(int32_t k);
// The size column's text: "%10d".
std::string GroesseText(int32_t groesse);

// Puts the export text of the entries whose mark equals `markiert` on the
// clipboard when the session has entries. Raises
// platform::EClipboardException when the clipboard cannot be taken.
void CopyMarkierungen(tMailboxMgmt& s, bool markiert);
