#include "window/UGUISpamfilter.h"

#include <cstdio>

#include "platform/Convert.h"
#include "pop3client/Pop3Client.h"
#include "window/desktop/Clipboard.h"
#include "window/desktop/ComCtrls.h"
#include "window/desktop/Dialogs.h"
#include "window/desktop/Grids.h"
#include "window/desktop/PaintPacer.h"

namespace {

// Blanks in front of the server name once the connection is closed.
constexpr const char* kServerOffen = "*** ";
constexpr const char* kServerZu = "   ";

void Panel(tGUIMailboxMgmt& s, int i, const std::string& text) {
  // A session whose window is not bound yet (or a bar with fewer panels)
  // simply shows nothing.
  if (s.Statusleiste == nullptr || i >= s.Statusleiste->PanelCount()) return;
  s.Statusleiste->Panels(i).SetText(text);
}

std::string Bruch(int32_t zaehler, int32_t nenner) {
  return platform::IntToStr(zaehler) + "/" + platform::IntToStr(nenner);
}

std::string Server(tGUIMailboxMgmt& s) { return s.pop3 != nullptr ? s.pop3->Host : std::string(); }

void KeineVerbindung() { desktop::MessageBox(kBoxKeineVerbindung, kBoxKeineVerbindungTitel, desktop::MB_OK); }

// The display of scan, check and deletion pass, hooked into the core's
// steps so that the steps themselves exist once. Progress (state sign,
// count, grid rows) is painted at screen rate; every other hook ends a step
// and paints what it and the progress before it wrote at once.
class Anzeige : public tSessionObserver {
 public:
  explicit Anzeige(tGUIMailboxMgmt& s) : s_(s) {
    // A nested operation (one that returns at once while this session is
    // busy) hands the controls back to the pacer it found.
    if (s_.Statusleiste != nullptr) {
      vorherLeiste_ = s_.Statusleiste->Pacer();
      s_.Statusleiste->SetPacer(&takt_);
    }
    if (s_.Grid != nullptr) {
      vorherGrid_ = s_.Grid->Pacer();
      s_.Grid->SetPacer(&takt_);
    }
  }
  ~Anzeige() override {
    takt_.Flush();
    if (s_.Statusleiste != nullptr) s_.Statusleiste->SetPacer(vorherLeiste_);
    if (s_.Grid != nullptr) s_.Grid->SetPacer(vorherGrid_);
  }
  Anzeige(const Anzeige&) = delete;
  Anzeige& operator=(const Anzeige&) = delete;

  void ScanConnecting(tMailboxMgmt&) override {
    laedt_ = true;
    Panel(s_, kPanelZustand, "?");
    Panel(s_, kPanelServer, kServerOffen + Server(s_));
    Schritt();  // shows during the connection attempt
  }
  void ScanLoginLost(tMailboxMgmt&) override { AnDerAnmeldungGeendet(); }
  void ScanLoggedIn(tMailboxMgmt&) override {
    if (s_.anzahl == 0) KeineEintraege();
    Panel(s_, kPanelZustand, "*");
    Panel(s_, kPanelFortschritt, Bruch(0, s_.anzahl));
    Panel(s_, kPanelServer, kServerOffen + Server(s_));
    Schritt();
  }
  void ScanListing(tMailboxMgmt&) override {
    Panel(s_, kPanelTaetigkeit, " scanning ...");
    Schritt();
  }
  void ScanListed(tMailboxMgmt&) override {
    GUISetRowCount(s_, s_.anzahl);
    Schritt();
  }
  void ScanFetching(tMailboxMgmt&, int32_t d, int32_t count) override {
    Panel(s_, kPanelZustand, SpinnerZeichen(d));
    Panel(s_, kPanelFortschritt, Bruch(d, count));
  }
  void ScanEntryBuilt(tMailboxMgmt&, int32_t j) override { GUIShowRow(s_, j); }
  void ScanClosing(tMailboxMgmt&) override {
    Panel(s_, kPanelTaetigkeit, "connection closed ");
    Schritt();
  }
  void ScanClosed(tMailboxMgmt&) override {
    Panel(s_, kPanelServer, kServerZu + Server(s_));
    Panel(s_, kPanelZustand, " ");
    Schritt();
  }

  void CheckStarting(tMailboxMgmt&) override {
    Panel(s_, kPanelTaetigkeit, " checking for Spam ...");
    Schritt();
  }
  void CheckingEntry(tMailboxMgmt&, int32_t i) override { Panel(s_, kPanelZustand, SpinnerZeichen(i)); }
  void CheckedEntry(tMailboxMgmt&, int32_t i) override { GUIShowRow(s_, i); }
  void CheckFinished(tMailboxMgmt&) override {
    Panel(s_, kPanelTaetigkeit, "");
    Schritt();
  }

  void DeleteConnecting(tMailboxMgmt&) override {
    Panel(s_, kPanelZustand, "?");
    Schritt();
  }
  void DeleteLoggedIn(tMailboxMgmt&) override {
    Panel(s_, kPanelZustand, "*");
    Panel(s_, kPanelServer, kServerOffen + Server(s_));
    Schritt();
  }
  void Deleting(tMailboxMgmt&, int32_t k, int32_t position) override {
    Panel(s_, kPanelZustand, SpinnerZeichen(k));
    Panel(s_, kPanelFortschritt, Bruch(position, s_.anzahl));
  }
  void DeleteClosing(tMailboxMgmt&) override {
    Panel(s_, kPanelTaetigkeit, "closing connection");
    Schritt();
  }
  void DeleteClosed(tMailboxMgmt&, int32_t kept) override {
    Panel(s_, kPanelZustand, " ");
    Panel(s_, kPanelFortschritt, platform::IntToStr(kept));
    Panel(s_, kPanelServer, kServerZu + Server(s_));
    Panel(s_, kPanelTaetigkeit, "connection closed");
    Schritt();
  }
  void DeleteCompacted(tMailboxMgmt&) override {
    GUISetRowCount(s_, s_.anzahl);
    GUIShowAllRows(s_);
    Schritt();
    // Still busy: the box belongs to the pass.
    if (s_.behalten > 0) desktop::MessageBox(GeaendertMeldung(s_.behalten), kBoxGeaendertTitel, desktop::MB_OK);
  }

  // Whatever made Connect fail, the user sees one box and the operation
  // ends through its closing steps.
  bool ConnectFailed(tMailboxMgmt&, const std::exception&) override {
    if (laedt_) AnDerAnmeldungGeendet();
    Schritt();  // the box must not hide owed progress behind it
    KeineVerbindung();
    return true;
  }

 private:
  // The end of a step: what it and the progress before it wrote shows now.
  void Schritt() { takt_.Flush(); }
  // A load that ends at the login or finds no mail leaves no entries: none
  // of an earlier load stays in the grid, nor for the check that follows,
  // the marks or the copy to redraw or use.
  void KeineEintraege() {
    s_.anzahl = 0;
    if (s_.Grid != nullptr) s_.Grid->EmptyRowsFrom(1);
  }
  // A load that ends at the login leaves no entries, nor an earlier load's
  // count in the progress panel: it learned no count, so the panel is left
  // empty, as before the first load ("0/0" would read as a mailbox found
  // empty).
  void AnDerAnmeldungGeendet() {
    KeineEintraege();
    Panel(s_, kPanelFortschritt, "");
  }

  tGUIMailboxMgmt& s_;
  desktop::TPaintPacer takt_;
  desktop::TPaintPacer* vorherLeiste_ = nullptr;
  desktop::TPaintPacer* vorherGrid_ = nullptr;
  bool laedt_ = false;  // a header scan, not a deletion pass
};

}  // namespace

std::string SpinnerZeichen(int32_t k) {
  int32_t i = k % kSpinnerLaenge;
  if (i < 0) i += kSpinnerLaenge;
  return std::string(1, Spinner[i]);
}

std::string GroesseText(int32_t groesse) {
  char puffer[16];
  std::snprintf(puffer, sizeof puffer, "%10d", static_cast<int>(groesse));
  return puffer;
}

void GUIInit(tGUIMailboxMgmt& s, platform::TComponent* owner) {
  Init(s, owner);
  s.pop3->OnAuthenticationFailed = [&s](bool& Handled) { GUIAuthenticationFailed(s, Handled); };
}

void GUIAuthenticationFailed(tGUIMailboxMgmt& s, bool& Handled) {
  AuthenticationFailed(s, Handled);
  Handled = true;
  desktop::MessageBox(kBoxAnmeldungAbgelehnt, kBoxAnmeldungAbgelehntTitel, desktop::MB_OK);
}

void GUIMailheaderLaden(tGUIMailboxMgmt& s) {
  Anzeige anzeige(s);
  MailheaderLadenSchritte(s, &anzeige);
}

void GUISpamcheck(tGUIMailboxMgmt& s) {
  Anzeige anzeige(s);
  SpamcheckSchritte(s, &anzeige);
}

void GUIMailheaderLoeschen(tGUIMailboxMgmt& s) {
  Anzeige anzeige(s);
  MailheaderLoeschenSchritte(s, &anzeige);
}

void GUISetRowCount(tGUIMailboxMgmt& s, int n) {
  if (s.Grid == nullptr) return;
  if (n < 0) n = 0;
  s.Grid->SetRowCount(n + 1);
  // The title row stays fixed even when it is the only row.
  if (s.Grid->FixedRows() < 1) s.Grid->SetFixedRows(1);
  const int letzte = n > 0 ? n : 1;
  for (int r = 1; r <= letzte; ++r)
    for (int c = 0; c < s.Grid->ColCount(); ++c) s.Grid->SetCells(c, r, "");
}

void GUIShowRow(tGUIMailboxMgmt& s, int r) {
  if (s.Grid == nullptr || r < 1 || static_cast<size_t>(r) >= s.summaries.size()) return;
  const tMailSummary& e = s.summaries[static_cast<size_t>(r)];
  s.Grid->SetCells(kSpalteNr, r, platform::IntToStr(e.nr));
  s.Grid->SetCells(kSpalteMarke, r, e.spam != 0 ? "X" : " ");
  s.Grid->SetCells(kSpalteGroesse, r, GroesseText(e.groesse));
  s.Grid->SetCells(kSpalteSubject, r, e.subject);
  s.Grid->SetCells(kSpalteFrom, r, e.from);
}

void GUIShowAllRows(tGUIMailboxMgmt& s) {
  if (s.Grid == nullptr) return;
  for (int r = 1; r < s.Grid->RowCount(); ++r) GUIShowRow(s, r);
}

void CopyMarkierungen(tMailboxMgmt& s, bool markiert) {
  CopyMarkierungen(s, markiert, [](const std::string& text) { desktop::ClipboardSetText(text); });
}
