// The window-bound session against scripted POP3 peers and a private Dovecot
// server: grid cells, the status-bar panels in the order they were written,
// the message boxes in order and the session's flags.
#include <QApplication>
#include <QTimer>
#include <QtTest>

#include <chrono>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/Exceptions.h"
#include "platform/StringList.h"
#include "pop3client/Pop3Client.h"
#include "spamfilter/USpamfilter.h"
#include "tests/fixtures/DovecotServer.h"
#include "tests/fixtures/Pop3Scripts.h"
#include "tests/fixtures/ScriptedPeer.h"
#include "window/UGUISpamfilter.h"
#include "window/desktop/Clipboard.h"
#include "window/desktop/ComCtrls.h"
#include "window/desktop/Dialogs.h"
#include "window/desktop/Events.h"
#include "window/desktop/Forms.h"
#include "window/desktop/Grids.h"
#include "window/desktop/PaintPacer.h"
#include "window/desktop/QtEventSource.h"
#include "window/desktop/StdCtrls.h"

using fixtures::Script;
using fixtures::ScriptedPeer;
using namespace std::chrono_literals;

namespace {

constexpr const char* kTitel = "Mail Vandoler";
constexpr const char* kLoopback = "127.0.0.1";

class LogPage : public tProtokollView {
 public:
  std::vector<std::string> lines;
  void AddLine(const std::string& zeile) override { lines.push_back(zeile); }
};

platform::TStringList Zeilen(const std::string& text) {
  platform::TStringList l;
  l.SetText(text);
  return l;
}

using Mail = fixtures::ScriptMail;

std::string Kopf(const std::string& subject, const std::string& from) {
  return "From:" + from + "\r\nSubject:" + subject + "\r\n";
}

// Greeting and login of user anna with password pw, STAT with `count`.
Script& Anmelden(Script& sc, int count) { return fixtures::Pop3Login(sc, "anna", "pw", count); }

// TOP d 0 alone, answered with the header lines of `m`: the deletion pass's
// check of a message that is no longer the one the scan saw.
Script& Kopfzeilen(Script& sc, int d, const Mail& m) { return fixtures::Pop3Top(sc, d, m); }

// A whole scan of `mails` by anna.
Script& Scan(Script& sc, const std::vector<Mail>& mails) { return fixtures::Pop3Scan(sc, "anna", "pw", mails); }

std::vector<Mail> Gewoehnlich(int n) {
  std::vector<Mail> m;
  for (int i = 1; i <= n; ++i)
    m.push_back({Kopf(" Betreff " + std::to_string(i), " s" + std::to_string(i) + "@example.test"), 100 + i});
  return m;
}

// The window's parts the session writes to, and what it wrote.
struct Fenster {
  QWidget host;
  desktop::TStringGrid grid{&host};
  desktop::TStatusBar bar{&host};
  desktop::TMessageBoxRecorder boxes;
  LogPage logPage;
  platform::TComponent owner{nullptr};
  tGUIMailboxMgmt s;
  std::vector<std::string> panels;  // "index=text" in the order written
  tpop3list liste;

  Fenster() {
    host.resize(400, 300);
    bar.setGeometry(0, 270, 400, 30);
    host.show();  // painted, as the window is
    (void)QTest::qWaitForWindowExposed(&host);
    grid.SetColCount(kGridSpalten);
    grid.SetRowCount(2);  // as the window leaves it before the first scan
    grid.SetFixedRows(1);
    for (int i = 0; i < 4; ++i) bar.AddPanel(80);
    bar.OnPanelText = [this](int i, const std::string& t) { panels.push_back(std::to_string(i) + "=" + t); };
    protokollMemo = &logPage;
    GUIInit(s, &owner);
    s.Grid = &grid;
    s.Statusleiste = &bar;
    s.veraltet = true;
    s.anzahl = 0;
  }
  ~Fenster() { protokollMemo = nullptr; }

  void Waehlen(const std::string& host, int port, const std::string& user = "anna",
               const std::string& pw = "pw") {
    ServerlisteUebernehmen(liste, Zeilen("[MAILBOXEN]\r\n" + host + " " + user + " " + pw + "\r\n"));
    ServerEinstellen(s, liste, 0);
    s.pop3->Port = port;
  }
  void Regeln(const std::string& text) { VirdefsUebernehmen(s, Zeilen(text)); }

  // The header-load action: scan, then check; a failure goes to the
  // default error dialog.
  void Laden() {
    desktop::Invoke([this] {
      GUIMailheaderLaden(s);
      GUISpamcheck(s);
    });
  }
  void Loeschen() {
    desktop::Invoke([this] { GUIMailheaderLoeschen(s); });
  }

  std::vector<std::string> Zeile(int r) const {
    std::vector<std::string> z;
    for (int c = 0; c < kGridSpalten; ++c) z.push_back(grid.Cells(c, r));
    return z;
  }
  std::vector<std::string> Endstand() const {
    std::vector<std::string> e;
    for (int i = 0; i < 4; ++i) e.push_back(bar.Panels(i).Text());
    return e;
  }
  std::vector<std::string> BoxTexte() const { return boxes.Texts(); }
};

using Texte = std::vector<std::string>;

// The state signs of entries 1, 2, 3, ...: "/", "|", "\", "-", "/", ...
std::string Zeichen(int k) { return std::string(1, "-/|\\"[k % 4]); }

Texte Zeichenfolge(int von, int bis, bool mitBruch, int count) {
  Texte t;
  for (int d = von; d <= bis; ++d) {
    t.push_back("0=" + Zeichen(d));
    if (mitBruch) t.push_back("1=" + std::to_string(d) + "/" + std::to_string(count));
  }
  return t;
}

Texte operator+(Texte a, const Texte& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

class GuiSessionTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    platform::Application().Title = kTitel;
    // As in the program: the default error dialog, and the socket layer's
    // waits pump Qt's events.
    desktop::InitializeDesktop();
    QVERIFY(desktop::QtEventSource() != nullptr);
  }

  // A new session is stale: the deletion pass is refused without a trace.
  void deletionRefusedOnNewSession() {
    Fenster f;
    f.grid.SetCells(0, 1, "alt");
    f.Loeschen();
    QVERIFY(f.panels.empty());
    QVERIFY(f.boxes.Calls().empty());
    QCOMPARE(f.grid.Cells(0, 1), std::string("alt"));
    QVERIFY(!f.s.busy);
  }

  // Progress is painted at screen rate, on a clock the test moves by one
  // frame when the scan reaches message 6: within a frame the spinner, the
  // count and the grid rows are written but not painted; the first change
  // after the frame paints at once; the end of each step paints its last
  // state, before the next step's first text.
  void progressPaintedAtScreenRate() {
    auto t = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    const desktop::TMonotonicClock vorher = desktop::SetPacingClock([&t] { return t; });
    const std::vector<Mail> mails = Gewoehnlich(12);
    Script sc;
    Scan(sc, mails);
    ScriptedPeer peer(sc);
    Fenster f;
    // Every row in sight: rows out of sight get no notices.
    f.host.resize(400, 420);
    f.grid.setGeometry(0, 0, 400, 380);
    f.bar.setGeometry(0, 390, 400, 30);
    f.Waehlen(kLoopback, peer.Port());
    QCoreApplication::processEvents();  // what the set-up left to paint
    QSignalSpy reihen(f.grid.model(), &QAbstractItemModel::dataChanged);
    // For every text written: what the bar showed and how many grid notices
    // had gone out at that moment.
    struct Moment {
      std::string text;
      std::vector<std::string> gezeigt;
      int gridMeldungen;
    };
    std::vector<Moment> momente;
    f.bar.OnPanelText = [&](int i, const std::string& text) {
      const std::string eintrag = std::to_string(i) + "=" + text;
      momente.push_back({eintrag, f.bar.PaintedTexts(), static_cast<int>(reihen.count())});
      if (eintrag == "1=6/12") t += desktop::TPaintPacer::kFrame;
    };
    f.Laden();
    QVERIFY(peer.WaitDone());
    desktop::SetPacingClock(vorher);
    auto bei = [&](const std::string& text) -> const Moment& {
      for (const Moment& m : momente)
        if (m.text == text) return m;
      static const Moment keiner{};
      return keiner;
    };
    auto zeigt = [&](const std::string& text) { return bei(text).gezeigt; };
    const std::string server = std::string("*** ") + kLoopback;
    // Writes of messages 1 to 5 are not painted: the bar still shows the
    // listing step, no grid row has gone out since.
    QCOMPARE(zeigt("1=6/12"), (Texte{"*", "0/12", server, " scanning ..."}));
    QCOMPARE(bei("1=6/12").gridMeldungen, bei("1=1/12").gridMeldungen);
    // The frame is over at 6/12: painted at once, rows 1 to 5 with it.
    QCOMPARE(zeigt("1=7/12"), (Texte{Zeichen(6), "6/12", server, " scanning ..."}));
    QVERIFY(bei("1=7/12").gridMeldungen > bei("1=6/12").gridMeldungen);
    // Messages 7 to 12 fall into the next frame ...
    QCOMPARE(zeigt("3=connection closed "), (Texte{Zeichen(6), "6/12", server, " scanning ..."}));
    // ... and the end of the step shows the last state.
    QCOMPARE(zeigt("2=   127.0.0.1"), (Texte{Zeichen(12), "12/12", server, "connection closed "}));
    // The check: its spinner within one frame, then its end.
    QCOMPARE(zeigt("3="), (Texte{" ", "12/12", "   127.0.0.1", " checking for Spam ..."}));
    QCOMPARE(f.bar.PaintedTexts(), (Texte{Zeichen(12), "12/12", "   127.0.0.1", ""}));
    QCOMPARE(f.Endstand(), f.bar.PaintedTexts());
    // Every row was written, and the last notice covers the last row.
    QCOMPARE(f.Zeile(12), (Texte{"12", " ", "       112", " Betreff 12", " s12@example.test"}));
    QVERIFY(reihen.count() > bei("2=   127.0.0.1").gridMeldungen);
    QCOMPARE(reihen.last()[1].value<QModelIndex>().row(), 11);
  }

  void twelveMessagesFromDovecot() {
    fixtures::DovecotServer server;
    server.AddUser("anna", "pw");
    Texte subjects;
    for (int i = 1; i <= 12; ++i) subjects.push_back(i % 5 == 0 ? "Lotto " + std::to_string(i) : "Post " + std::to_string(i));
    auto mails = fixtures::GenerateMessages(12, subjects, {"Anna <anna@example.test>"});
    server.AddMessages("anna", mails);
    server.Start();

    Fenster f;
    f.Waehlen(kLoopback, server.Port());
    f.Regeln("[SUBJECT]\r\n* lotto\r\n");
    // How many data rows show a message number whenever the progress moves.
    Texte gefuellt;
    f.bar.OnPanelText = [&](int i, const std::string& t) {
      f.panels.push_back(std::to_string(i) + "=" + t);
      if (i != 1) return;
      int n = 0;
      for (int r = 1; r < f.grid.RowCount(); ++r) n += f.grid.Cells(0, r).empty() ? 0 : 1;
      gefuellt.push_back(t + ":" + std::to_string(n));
    };
    const int paintsBefore = f.bar.PaintCount();
    f.Laden();

    const std::string h = kLoopback;
    Texte erwartet = Texte{"0=?", "2=*** " + h, "0=*", "1=0/12", "2=*** " + h, "3= scanning ..."} +
                     Zeichenfolge(1, 12, true, 12) +
                     Texte{"3=connection closed ", "2=   " + h, "0= ", "3= checking for Spam ..."} +
                     Zeichenfolge(1, 12, false, 12) + Texte{"3="};
    QCOMPARE(f.panels, erwartet);
    Texte reihen = {"0/12:0"};
    for (int d = 1; d <= 12; ++d) reihen.push_back(std::to_string(d) + "/12:" + std::to_string(d - 1));
    QCOMPARE(gefuellt, reihen);
    QCOMPARE(f.Endstand(), (Texte{"-", "12/12", "   " + h, ""}));
    // However fast the machine, the end of each step painted its last state.
    QVERIFY(f.bar.PaintCount() > paintsBefore);
    QCOMPARE(f.bar.PaintedTexts(), f.Endstand());

    QCOMPARE(f.grid.RowCount(), 13);
    QCOMPARE(f.grid.FixedRows(), 1);
    for (int r = 1; r <= 12; ++r) {
      char groesse[16];
      std::snprintf(groesse, sizeof groesse, "%10zu", fixtures::Pop3Size(mails[r - 1]));
      QCOMPARE(f.Zeile(r), (Texte{std::to_string(r), r % 5 == 0 ? "X" : " ", groesse,
                                  " " + subjects[r - 1], " Anna <anna@example.test>"}));
    }
    QVERIFY(f.boxes.Calls().empty());
    QVERIFY(!f.s.busy && !f.s.verbunden && !f.s.veraltet);
    QCOMPARE(int(f.s.anzahl), 12);
    QVERIFY(!f.s.pop3->Connected());
  }

  void emptyMailbox() {
    fixtures::DovecotServer server;
    server.AddUser("anna", "pw");
    server.Start();
    Fenster f;
    f.grid.SetCells(3, 1, "von vorher");
    f.Waehlen(kLoopback, server.Port());
    f.Laden();
    const std::string h = kLoopback;
    QCOMPARE(f.panels, (Texte{"0=?", "2=*** " + h, "0=*", "1=0/0", "2=*** " + h, "3=connection closed ",
                              "2=   " + h, "0= ", "3= checking for Spam ...", "3="}));
    QCOMPARE(f.grid.RowCount(), 2);  // not resized by the scan
    QCOMPARE(f.Zeile(1), (Texte{"", "", "", "", ""}));  // nothing of an earlier load
    QVERIFY(!f.s.veraltet && !f.s.busy && !f.s.verbunden);
    QCOMPARE(int(f.s.anzahl), 0);

    // A deletion pass now logs in and out without any DELE.
    f.panels.clear();
    f.Loeschen();
    QCOMPARE(f.panels, (Texte{"0=?", "0=*", "2=*** " + h, "3=closing connection", "0= ", "1=0", "2=   " + h,
                              "3=connection closed"}));
    QVERIFY(f.boxes.Calls().empty());
    QVERIFY(f.s.veraltet);
    QCOMPARE(f.grid.RowCount(), 1);
    QCOMPARE(f.grid.FixedRows(), 1);
  }

  // Message 3's header text is exactly 10 characters: it gets no entry, and
  // the later entries keep their own numbers and sizes. Sizes show "%10d".
  void shortHeaderSkippedAndDeletedByRealNumber() {
    std::vector<Mail> mails = {{Kopf(" Eins", " a@x"), 123},
                               {Kopf("Zwei", "b@x"), 0},
                               {"X:1\r\n", 55},
                               {Kopf(" Spam vier", " c@x"), 1234567890},
                               {Kopf(" Fuenf", " d@x"), -1234567890}};
    Script sc;
    Scan(sc, mails).Accept();
    fixtures::Pop3Summary(Anmelden(sc, 5), 4, mails[3]).Exchange("DELE 4", "+OK\r\n").Exchange("QUIT", "+OK\r\n").AwaitClose();
    ScriptedPeer peer(sc);

    Fenster f;
    f.Waehlen(kLoopback, peer.Port());
    f.Regeln("[SUBJECT]\r\n* spam\r\n");
    f.Laden();
    QCOMPARE(int(f.s.anzahl), 4);
    QCOMPARE(f.grid.RowCount(), 6);  // the server's count, not the entries
    QCOMPARE(f.Zeile(1), (Texte{"1", " ", "       123", " Eins", " a@x"}));
    QCOMPARE(f.Zeile(2), (Texte{"2", " ", "         0", "Zwei", "b@x"}));
    QCOMPARE(f.Zeile(3), (Texte{"4", "X", "1234567890", " Spam vier", " c@x"}));
    QCOMPARE(f.Zeile(4), (Texte{"5", " ", "-1234567890", " Fuenf", " d@x"}));
    QCOMPARE(f.Zeile(5), (Texte{"", "", "", "", ""}));
    QVERIFY(!f.s.veraltet);

    f.panels.clear();
    f.Loeschen();
    QVERIFY(peer.WaitDone());
    QVERIFY2(peer.Failures().empty(), peer.Failures().empty() ? "" : peer.Failures()[0].c_str());
    const Texte cmds = peer.Commands();
    QCOMPARE(Texte(cmds.end() - 4, cmds.end()), (Texte{"TOP 4 0", "LIST 4", "DELE 4", "QUIT"}));
    // The progress names the entry's position, the DELE its number.
    QVERIFY(std::find(f.panels.begin(), f.panels.end(), "1=3/4") != f.panels.end());
    QCOMPARE(int(f.s.anzahl), 3);
    QCOMPARE(f.grid.RowCount(), 4);
    QCOMPARE(f.Zeile(3), (Texte{"5", " ", "-1234567890", " Fuenf", " d@x"}));
    QCOMPARE(f.Endstand(), (Texte{" ", "3", "   127.0.0.1", "connection closed"}));
    QVERIFY(f.boxes.Calls().empty());
  }

  void deletion_data() {
    QTest::addColumn<QString>("regeln");
    QTest::addColumn<QStringList>("fortschritt");  // panel 1 during the DELEs
    QTest::addColumn<QStringList>("bleiben");      // subjects left on the server
    QTest::newRow("none marked") << "[SUBJECT]\r\n* nichts\r\n" << QStringList{}
                                 << QStringList{"Post", "Lotto", "Post", "Lotto"};
    QTest::newRow("some marked") << "[SUBJECT]\r\n* lotto\r\n" << QStringList{"2/4", "4/4"}
                                 << QStringList{"Post", "Post"};
    QTest::newRow("all marked") << "[SIZE]\r\nIN 0..100000\r\n" << QStringList{"1/4", "2/4", "3/4", "4/4"}
                                << QStringList{};
  }
  void deletion() {
    QFETCH(QString, regeln);
    QFETCH(QStringList, fortschritt);
    QFETCH(QStringList, bleiben);
    fixtures::DovecotServer server;
    server.AddUser("anna", "pw");
    server.AddMessages("anna", fixtures::GenerateMessages(4, {"Post", "Lotto"}, {}));
    server.Start();
    Fenster f;
    f.Waehlen(kLoopback, server.Port());
    f.Regeln(regeln.toStdString());
    f.Laden();
    QCOMPARE(int(f.s.anzahl), 4);

    f.panels.clear();
    f.Loeschen();
    Texte p1;
    for (const std::string& t : f.panels)
      if (t.rfind("1=", 0) == 0) p1.push_back(t.substr(2));
    Texte erwartet;
    for (const QString& q : fortschritt) erwartet.push_back(q.toStdString());
    erwartet.push_back(std::to_string(bleiben.size()));
    QCOMPARE(p1, erwartet);

    Texte aufServer;
    for (const std::string& m : server.Messages("anna"))
      for (const std::string& z : fixtures::HeaderLines(m))
        if (z.rfind("Subject: ", 0) == 0) aufServer.push_back(z.substr(9));
    Texte soll;
    for (const QString& q : bleiben) soll.push_back(q.toStdString());
    QCOMPARE(aufServer, soll);

    QCOMPARE(int(f.s.anzahl), int(bleiben.size()));
    QCOMPARE(f.grid.RowCount(), int(bleiben.size()) + 1);
    QCOMPARE(f.grid.FixedRows(), 1);
    for (int r = 1; r <= int(bleiben.size()); ++r) {
      QCOMPARE(f.grid.Cells(1, r), std::string(" "));
      QCOMPARE(f.grid.Cells(3, r), " " + soll[r - 1]);
    }
    QCOMPARE(f.Endstand(), (Texte{" ", std::to_string(bleiben.size()), "   127.0.0.1", "connection closed"}));
    QVERIFY(f.s.veraltet && !f.s.busy && !f.s.verbunden);
    QVERIFY(f.boxes.Calls().empty());

    // Stale now: a second pass does nothing until the next scan.
    f.panels.clear();
    f.Loeschen();
    QVERIFY(f.panels.empty());
    QCOMPARE(server.Messages("anna").size(), size_t(bleiben.size()));
  }

  // The grid's title row stays fixed with no data rows, and a data row added
  // later starts empty although the grid keeps cells it no longer shows.
  void rowCountZeroEmptiesTheFirstRow() {
    Fenster f;
    for (int c = 0; c < kGridSpalten; ++c) f.grid.SetCells(c, 1, "alt");
    GUISetRowCount(f.s, 0);
    QCOMPARE(f.grid.RowCount(), 1);
    QCOMPARE(f.grid.FixedRows(), 1);
    f.grid.SetRowCount(2);
    QCOMPARE(f.Zeile(1), (Texte{"", "", "", "", ""}));
  }

  // A rejected login whose repetition is accepted: one box, one log line,
  // the scan ends as failed, logs out and leaves no entries and no count.
  // While the box is open the session is busy: a scan, a check and a
  // deletion pass return without effect.
  void reentryWhileBusyAndLoginAcceptedAtRetry() {
    ScriptedPeer peer(Script()
                          .Send("+OK ready\r\n")
                          .Exchange("USER anna", "+OK\r\n")
                          .Exchange("PASS pw", "-ERR no\r\n")
                          .Exchange("USER anna", "+OK\r\n")
                          .Exchange("PASS pw", "+OK\r\n")
                          .Exchange("STAT", "+OK 3 300\r\n")
                          .Exchange("QUIT", "+OK\r\n")
                          .AwaitClose());
    Fenster f;
    f.Waehlen(kLoopback, peer.Port());
    f.grid.SetCells(3, 1, "alt");
    f.s.veraltet = false;  // as after an earlier scan: the deletion pass is not refused for staleness
    Texte waehrend;
    bool geprueft = false;
    f.boxes.WhileOpen = [&](const desktop::TMessageBoxCall&) {
      const size_t vorher = f.panels.size();
      QVERIFY(f.s.busy);
      GUIMailheaderLaden(f.s);
      GUISpamcheck(f.s);
      GUIMailheaderLoeschen(f.s);
      waehrend.assign(f.panels.begin() + vorher, f.panels.end());
      geprueft = true;
    };
    f.Laden();
    QVERIFY(geprueft);
    QVERIFY(waehrend.empty());
    QCOMPARE(f.boxes.Calls().size(), size_t(1));
    QCOMPARE(f.boxes.Calls()[0].Text, std::string("Anmeldung nicht möglich"));
    QCOMPARE(f.boxes.Calls()[0].Caption, std::string("Mailbox"));
    QCOMPARE(f.logPage.lines, (Texte{"127.0.0.1 +++ Authentication failed"}));
    QVERIFY(peer.WaitDone());
    QCOMPARE(peer.Commands(), (Texte{"USER anna", "PASS pw", "USER anna", "PASS pw", "STAT", "QUIT"}));
    QVERIFY(f.s.veraltet && !f.s.busy && !f.s.verbunden);
    // The load ended at the login: no cell of an earlier load stays.
    QCOMPARE(f.grid.Cells(3, 1), std::string());
    QCOMPARE(int(f.s.anzahl), 0);
    const std::string h = kLoopback;
    // No count either: the progress panel is emptied, not left as it was.
    QCOMPARE(f.panels, (Texte{"0=?", "2=*** " + h, "1=", "3=connection closed ", "2=   " + h, "0= ",
                              "3= checking for Spam ...", "3="}));
  }

  void loginRejectedTwice() {
    ScriptedPeer peer(Script()
                          .Send("+OK ready\r\n")
                          .Exchange("USER anna", "+OK\r\n")
                          .Exchange("PASS pw", "-ERR no\r\n")
                          .Exchange("USER anna", "+OK\r\n")
                          .Exchange("PASS pw", "-ERR no\r\n")
                          .Exchange("QUIT", "+OK\r\n")
                          .AwaitClose());
    Fenster f;
    f.Waehlen(kLoopback, peer.Port());
    f.Laden();
    QCOMPARE(f.BoxTexte(), (Texte{"Anmeldung nicht möglich", "Serververbindung nicht möglich"}));
    QCOMPARE(f.boxes.Calls()[1].Caption, std::string("Anmeldung"));
    QCOMPARE(f.logPage.lines.size(), size_t(1));
    QVERIFY(peer.WaitDone());
    QVERIFY(f.s.veraltet && !f.s.busy && !f.s.verbunden);
  }

  void connectFailures_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    // A label too long for a name-server query: the lookup fails on this
    // machine without any packet leaving it.
    QTest::newRow("unknown server") << QString(70, 'x') + ".invalid" << 110;
    QTest::newRow("refused") << "127.0.0.1" << int(fixtures::UnusedPort());
  }
  void connectFailures() {
    QFETCH(QString, host);
    QFETCH(int, port);
    Fenster f;
    f.Waehlen(host.toStdString(), port);
    f.Laden();
    // One box and no default error dialog.
    QCOMPARE(f.BoxTexte(), (Texte{"Serververbindung nicht möglich"}));
    QCOMPARE(f.boxes.Calls()[0].Caption, std::string("Anmeldung"));
    QVERIFY(f.s.veraltet && !f.s.busy && !f.s.verbunden);
    QCOMPARE(f.Endstand()[2], "   " + host.toStdString());
    QVERIFY(f.logPage.lines.empty());
  }

  // A deletion pass whose Connect fails is no load: while its box is open
  // the grid still shows the list, and afterwards the unmarked entries.
  void deletionConnectFailureKeepsTheList() {
    const std::vector<Mail> mails = {{Kopf(" Spam eins", " a@x"), 10}, {Kopf(" Gut", " b@x"), 20}};
    Script sc;
    Scan(sc, mails);
    ScriptedPeer peer(sc);
    Fenster f;
    f.Waehlen(kLoopback, peer.Port());
    f.Regeln("[SUBJECT]\r\n* spam\r\n");
    f.Laden();
    QVERIFY(peer.WaitDone());
    const Texte erste = f.Zeile(1), zweite = f.Zeile(2);
    QCOMPARE(erste[kSpalteMarke], std::string("X"));

    f.s.pop3->Port = fixtures::UnusedPort();
    Texte offen1, offen2;
    f.boxes.WhileOpen = [&](const desktop::TMessageBoxCall&) {
      offen1 = f.Zeile(1);
      offen2 = f.Zeile(2);
    };
    f.Loeschen();
    QCOMPARE(f.BoxTexte(), (Texte{"Serververbindung nicht möglich"}));
    QCOMPARE(offen1, erste);
    QCOMPARE(offen2, zweite);
    QCOMPARE(int(f.s.anzahl), 1);
    QCOMPARE(f.grid.RowCount(), 2);
    QCOMPARE(f.Zeile(1), zweite);
  }

  // TOP refused at message 2 of 3: the closing steps run, the failure goes
  // to the default error dialog and the action's check does not run.
  void failureAfterLoginReachesTheErrorDialog() {
    Script sc;
    Anmelden(sc, 3)
        .Exchange("LIST ", "+OK\r\n1 10\r\n2 20\r\n3 30\r\n.\r\n")
        .Exchange("TOP 1 0", "+OK\r\n" + Kopf(" Eins", " a@x") + "\r\n.\r\n")
        .Exchange("LIST 1", "+OK 1 10\r\n")
        .Exchange("TOP 2 0", "-ERR weg\r\n")
        .Exchange("QUIT", "+OK\r\n")
        .AwaitClose();
    ScriptedPeer peer(sc);
    Fenster f;
    f.Waehlen(kLoopback, peer.Port());
    f.Laden();
    QVERIFY(peer.WaitDone());
    // The reply line with its line end, so no full stop is added.
    QCOMPARE(f.BoxTexte(), (Texte{"-ERR weg\r\n"}));
    QCOMPARE(f.boxes.Calls()[0].Caption, std::string(kTitel));
    QCOMPARE(f.boxes.Calls()[0].Icon(), desktop::TMsgIcon::Error);
    const Texte tail(f.panels.end() - 3, f.panels.end());
    QCOMPARE(tail, (Texte{"3=connection closed ", "2=   127.0.0.1", "0= "}));
    QCOMPARE(int(f.s.anzahl), 3);
    QCOMPARE(f.Zeile(1), (Texte{"1", " ", "        10", " Eins", " a@x"}));
    QVERIFY(f.s.veraltet && !f.s.busy && !f.s.verbunden);
  }

  // Seven messages, five marked; the server refuses the third DELE. QUIT is
  // still sent, the list keeps the two unmarked entries, and the dialog
  // shows the reply line.
  void deleRefusedAtTheThirdOfFive() {
    std::vector<Mail> mails;
    for (int i = 1; i <= 7; ++i) {
      bool spam = i != 2 && i != 6;
      mails.push_back({Kopf(spam ? " Spam " + std::to_string(i) : " Gut " + std::to_string(i), " x@y"), 10 * i});
    }
    Script sc;
    Scan(sc, mails).Accept();
    Anmelden(sc, 7);
    fixtures::Pop3Summary(sc, 1, mails[0]).Exchange("DELE 1", "+OK\r\n");
    fixtures::Pop3Summary(sc, 3, mails[2]).Exchange("DELE 3", "+OK\r\n");
    fixtures::Pop3Summary(sc, 4, mails[3]).Exchange("DELE 4", "-ERR gesperrt\r\n").Exchange("QUIT", "+OK\r\n").AwaitClose();
    ScriptedPeer peer(sc);
    Fenster f;
    f.Waehlen(kLoopback, peer.Port());
    f.Regeln("[SUBJECT]\r\n< spam\r\n");
    f.Laden();
    QCOMPARE(int(f.s.anzahl), 7);
    f.Loeschen();
    QVERIFY(peer.WaitDone());
    QVERIFY(peer.Failures().empty());
    QCOMPARE(f.BoxTexte(), (Texte{"-ERR gesperrt\r\n"}));
    QCOMPARE(int(f.s.anzahl), 2);
    QCOMPARE(f.grid.RowCount(), 3);
    QCOMPARE(f.Zeile(1), (Texte{"2", " ", "        20", " Gut 2", " x@y"}));
    QCOMPARE(f.Zeile(2), (Texte{"6", " ", "        60", " Gut 6", " x@y"}));
    QCOMPARE(f.Endstand(), (Texte{" ", "2", "   127.0.0.1", "connection closed"}));
    QVERIFY(f.s.veraltet && !f.s.busy && !f.s.verbunden);
  }

  // Between the load and "Senden" another client deleted message 3 and new
  // mail came: message 1 is still the marked one and is deleted, number 3
  // names another message now. One box tells of the kept one, shown while
  // the pass still holds the session; the kept entry stays in the grid with
  // its mark, and the list is stale: a second pass does nothing.
  void changedMessagesStayMarkedAfterOneBox() {
    const std::vector<Mail> mails = {{Kopf(" Spam eins", " a@x"), 10}, {Kopf(" Gut", " b@x"), 20},
                                     {Kopf(" Spam drei", " c@x"), 30}, {Kopf(" Gut vier", " d@x"), 40}};
    Script sc;
    Scan(sc, mails).Accept();
    Anmelden(sc, 4);
    fixtures::Pop3Summary(sc, 1, mails[0]).Exchange("DELE 1", "+OK\r\n");
    Kopfzeilen(sc, 3, mails[3]).Exchange("QUIT", "+OK\r\n").AwaitClose();
    ScriptedPeer peer(sc);
    Fenster f;
    f.Waehlen(kLoopback, peer.Port());
    f.Regeln("[SUBJECT]\r\n< spam\r\n");
    f.Laden();
    QCOMPARE(int(f.s.anzahl), 4);
    bool busyBeimKasten = false;
    f.boxes.WhileOpen = [&](const desktop::TMessageBoxCall&) { busyBeimKasten = f.s.busy; };
    f.Loeschen();
    QVERIFY(peer.WaitDone());
    QVERIFY2(peer.Failures().empty(), peer.Failures().empty() ? "" : peer.Failures()[0].c_str());
    QCOMPARE(f.BoxTexte(), (Texte{"1 markierte Mail(s) auf dem Server geändert, nicht gelöscht"}));
    QCOMPARE(f.boxes.Calls()[0].Caption, std::string("Mailbox"));
    QVERIFY(busyBeimKasten);
    QCOMPARE(int(f.s.anzahl), 3);
    QCOMPARE(f.grid.RowCount(), 4);
    QCOMPARE(f.Zeile(1), (Texte{"2", " ", "        20", " Gut", " b@x"}));
    QCOMPARE(f.Zeile(2), (Texte{"3", "X", "        30", " Spam drei", " c@x"}));
    QCOMPARE(f.Zeile(3), (Texte{"4", " ", "        40", " Gut vier", " d@x"}));
    QCOMPARE(f.Endstand(), (Texte{" ", "3", "   127.0.0.1", "connection closed"}));
    QVERIFY(f.s.veraltet && !f.s.busy && !f.s.verbunden);

    f.panels.clear();
    f.Loeschen();
    QVERIFY(f.panels.empty());
    QCOMPARE(f.boxes.Calls().size(), size_t(1));
    QCOMPARE(peer.Conversations(), 2);
  }

  // A click queued while the scan waits for message 2's header lines is
  // handled inside that wait: the handler sees the session busy, its scan
  // request returns at once, and a mark it writes into entry 1 shows in
  // that entry's row. (The main window's grid refuses hand marks while the
  // session is busy; this handler writes the mark itself.)
  void clickHandledDuringTheScansWait() {
    const std::vector<Mail> mails = Gewoehnlich(3);
    Script sc;
    Anmelden(sc, 3).Exchange("LIST ", "+OK\r\n1 101\r\n2 102\r\n3 103\r\n.\r\n");
    sc.Exchange("TOP 1 0", "+OK\r\n" + mails[0].header + "\r\n.\r\n").Exchange("LIST 1", "+OK 1 101\r\n");
    // The reply to TOP 2 comes only after the click, so the click is handled
    // inside the wait for it.
    auto clicked = std::make_shared<fixtures::Gate>();
    sc.Expect("TOP 2 0").AwaitGate(clicked).Send("+OK\r\n" + mails[1].header + "\r\n.\r\n");
    sc.Exchange("LIST 2", "+OK 2 102\r\n");
    sc.Exchange("TOP 3 0", "+OK\r\n" + mails[2].header + "\r\n.\r\n").Exchange("LIST 3", "+OK 3 103\r\n");
    sc.Exchange("QUIT", "+OK\r\n").AwaitClose();
    ScriptedPeer peer(sc);

    Fenster f;
    f.Waehlen(kLoopback, peer.Port());
    desktop::TButton knopf(&f.host, "Markieren");
    knopf.setGeometry(0, 0, 80, 24);
    knopf.show();
    bool imBefehl = false;  // the client was inside a command (TOP 2 0)
    std::string zeile2;     // row 2 at the click: not built yet
    bool busy = false;
    size_t geschrieben = 0;
    knopf.OnClick = [&](platform::TObject*) {
      imBefehl = f.s.pop3->CommandBusy();
      zeile2 = f.grid.Cells(0, 2);
      busy = f.s.busy;
      const size_t vorher = f.panels.size();
      GUIMailheaderLaden(f.s);  // busy: nothing happens
      geschrieben = f.panels.size() - vorher;
      f.s.summaries[1].spam ^= 1;
      GUIShowRow(f.s, 1);
      clicked->Open();
    };
    f.bar.OnPanelText = [&](int i, const std::string& t) {
      f.panels.push_back(std::to_string(i) + "=" + t);
      if (i == 1 && t == "2/3") QTimer::singleShot(0, &knopf, [&] { QTest::mouseClick(&knopf, Qt::LeftButton); });
    };
    desktop::Invoke([&] { GUIMailheaderLaden(f.s); });
    QVERIFY(peer.WaitDone());
    QVERIFY(peer.Failures().empty());
    QVERIFY2(imBefehl, "the click was not handled inside the wait for the reply");
    QCOMPARE(zeile2, std::string());
    QVERIFY(busy);
    QCOMPARE(geschrieben, size_t(0));
    QCOMPARE(f.grid.Cells(1, 1), std::string("X"));
    QCOMPARE(int(f.s.anzahl), 3);
    QCOMPARE(f.Zeile(3), (Texte{"3", " ", "       103", " Betreff 3", " s3@example.test"}));
    QVERIFY(!f.s.busy && !f.s.veraltet);
    QVERIFY(f.boxes.Calls().empty());
  }

  void clipboardPut() {
    std::vector<Mail> mails = {{Kopf(" Gewinn \xc3\xbc", " a@x"), 7}, {Kopf(" Hallo", " b@x"), 0}};
    Script sc;
    Scan(sc, mails);
    ScriptedPeer peer(sc);
    Fenster f;
    f.Waehlen(kLoopback, peer.Port());
    f.Regeln("[SUBJECT]\r\n* gewinn\r\n");
    f.Laden();
    QCOMPARE(int(f.s.anzahl), 2);

    desktop::ClipboardSetText("vorher");
    desktop::Invoke([&] { CopyMarkierungen(f.s, true); });
    QCOMPARE(desktop::ClipboardText(),
             std::string("[Subject]\r\n<  Gewinn \xc3\xbc\r\n\r\n[From]\r\n<  a@x\r\n\r\n[Size]\r\nIN 7..7\r\n\r\n"));
    desktop::Invoke([&] { CopyMarkierungen(f.s, false); });
    QCOMPARE(desktop::ClipboardText(),
             std::string("[Subject]\r\n<  Hallo\r\n\r\n[From]\r\n<  b@x\r\n\r\n[Size]\r\nIN 0..0\r\n\r\n"));
    QVERIFY(f.boxes.Calls().empty());

    // No entries: the clipboard keeps what it held.
    desktop::ClipboardSetText("vorher");
    f.s.anzahl = 0;
    desktop::Invoke([&] { CopyMarkierungen(f.s, true); });
    QCOMPARE(desktop::ClipboardText(), std::string("vorher"));
    QVERIFY(f.boxes.Calls().empty());
  }

  void clipboardCannotBeTaken() {
    Fenster f;
    f.s.anzahl = 1;
    f.s.summaries.resize(2);
    f.s.summaries[1] = {1, 5, 1, " a", " b"};
    desktop::ClipboardSetText("vorher");
    auto alt = desktop::SetClipboardOpenHook([] { return false; });
    desktop::Invoke([&] { CopyMarkierungen(f.s, true); });
    desktop::SetClipboardOpenHook(alt);
    QCOMPARE(f.BoxTexte(), (Texte{"Zwischenablage kann nicht geöffnet werden."}));
    QCOMPARE(f.boxes.Calls()[0].Caption, std::string(kTitel));
    QCOMPARE(desktop::ClipboardText(), std::string("vorher"));
  }
};

QTEST_MAIN(GuiSessionTest)
#include "UGUISpamfilterTest.moc"
