// The main window against a real POP3 server (a private Dovecot on
// 127.0.0.1): the road of an interactive check from selection to deletion,
// commands arriving while a load runs, loads that end at the login, and
// the timed batch mode's runs, intervals, stops during a run, log lines and
// "Senden" on the interactive list after a run. What is left on the server
// is checked in a separate conversation. Mark toggles by button and while a
// load or a pass waits on a held reply run against a loopback peer that
// keeps a real mailbox.
#include <QtTest>

#include <atomic>
#include <optional>
#include <regex>

#include "platform/Component.h"
#include "pop3client/Pop3Client.h"
#include "tests/fixtures/DovecotServer.h"
#include "tests/fixtures/MailboxPeer.h"
#include "tests/fixtures/MiniPop3Client.h"
#include "tests/fixtures/Pop3Scripts.h"
#include "tests/fixtures/ScriptedPeer.h"
#include "tests/window/MainWindowSupport.h"
#include "window/Upop3.h"
#include "window/desktop/Dialogs.h"

using mwtest::ClickServer;
using mwtest::ProgramFolder;
using mwtest::Window;
using namespace std::chrono_literals;

namespace {

const std::string kDefs = "[SUBJECT]\r\n* lotto\r\n";
const std::string kGeaendert = "1 markierte Mail(s) auf dem Server ge\xC3\xA4ndert, nicht gel\xC3\xB6scht";

struct Mail {
  std::string from;
  std::string subject;
};

const std::vector<Mail> kAnnasMails = {
    {"Anna Berg <anna@example.org>", "Treffen am Donnerstag"},
    {"Gewinnspiel <info@spam.example>", "Ihr LOTTO-Gewinn wartet"},
    {"Bernd <bernd@example.org>", "Urlaubsfotos"},
    {"newsletter@shop.example", "Angebote der Woche"},
    {"Clara <clara@example.org>", "Rechnung Nr. 4711"},
};

// A Dovecot with the mailboxes "anna" and "bob", and a program folder whose
// list names both on 127.0.0.1.
class Setup {
 public:
  explicit Setup(const std::vector<Mail>& anna = kAnnasMails, const std::vector<Mail>& bob = {}) {
    server.AddUser("anna", "pw-anna");
    server.AddUser("bob", "pw-bob");
    Add("anna", anna);
    Add("bob", bob);
    server.Start();
    dir.Write("Kelvo_Mailboxen.txt", mwtest::MailboxListe({"127.0.0.1 anna pw-anna", "127.0.0.1 bob pw-bob"}));
    dir.Write("Kelvo_Spamdefs.txt", kDefs);
    dir.CopyShipped("Kelvo_Info.rtf");
  }
  void Add(const std::string& user, const std::vector<Mail>& mails) {
    for (const auto& m : mails) {
      fixtures::MessageSpec spec;
      spec.from = m.from;
      spec.subject = m.subject;
      server.AddMessage(user, fixtures::MakeMessage(spec, ++seq_));
    }
  }
  // The window's clients talk to the fixture's port.
  void Connect(Tfrm_Emails*) const {
    GUISession.pop3->Port = server.Port();
    BatchSession.pop3->Port = server.Port();
  }
  // The subjects the server holds, asked in a conversation of our own.
  std::vector<std::string> Subjects(const std::string& user, const std::string& pw) {
    fixtures::MiniPop3Client c;
    c.Connect(fixtures::DovecotServer::Host(), server.Port());
    c.Login(user, pw);
    std::vector<std::string> subjects;
    const int n = c.StatCount();
    for (int i = 1; i <= n; ++i) {
      for (const auto& line : c.TopHeader(i).second) {
        const std::string l = fixtures::MiniPop3Client::Chomp(line);
        if (l.rfind("Subject: ", 0) == 0) subjects.push_back(l.substr(9));
      }
    }
    c.Quit();
    return subjects;
  }

  fixtures::DovecotServer server;
  ProgramFolder dir;

 private:
  int seq_ = 0;
};

void DoubleClickRow(Tfrm_Emails* f, int row) {
  f->sg_list->SelectRows(row, row);
  f->sg_list->DblClick();
}

std::vector<std::string> Column(Tfrm_Emails* f, int col) {
  std::vector<std::string> cells;
  for (int r = 1; r < f->sg_list->RowCount(); ++r) cells.push_back(f->sg_list->Cells(col, r));
  return cells;
}

// A real double click of `button`, through the grid's viewport, on the
// subject cell of data row `row`; the window must be shown.
void MouseDoubleClickRow(Tfrm_Emails* f, int row, Qt::MouseButton button = Qt::LeftButton) {
  desktop::TStringGrid* g = f->sg_list;
  const QRect cell = g->visualRect(g->model()->index(row - 1, kSpalteSubject));
  QTest::mouseDClick(g->viewport(), button, {}, cell.center());
}

// The session's marks of entries 1..anzahl.
std::vector<int> SessionMarks() {
  std::vector<int> marks;
  for (size_t i = 1; i <= Eintraege(GUISession); ++i) marks.push_back(GUISession.summaries[i].spam);
  return marks;
}

std::vector<std::string> Subjects(const std::vector<fixtures::ScriptMail>& mails) {
  std::vector<std::string> subjects;
  for (const auto& m : mails) {
    const size_t at = m.header.find("Subject:");
    subjects.push_back(m.header.substr(at + 8, m.header.find("\r\n", at) - at - 8));
  }
  return subjects;
}

std::vector<std::string> Deles(const std::vector<std::string>& commands) {
  std::vector<std::string> deles;
  for (const auto& c : commands)
    if (c.rfind("DELE ", 0) == 0) deles.push_back(c);
  return deles;
}

// Four messages, two of them marked by the rules (kDefs).
const std::vector<fixtures::ScriptMail> kVierMails = {{"From: g@spam\r\nSubject: LOTTO eins\r\n", 110},
                                                      {"From: a@x\r\nSubject: Hallo\r\n", 220},
                                                      {"From: b@x\r\nSubject: Urlaub\r\n", 330},
                                                      {"From: g@spam\r\nSubject: LOTTO zwei\r\n", 440}};
const std::vector<std::string> kRegelMarken = {"X", " ", " ", "X"};
// Rules that would mark only "Urlaub", typed but not yet applied.
const std::string kAndereDefs = "[SUBJECT]\r\n* urlaub\r\n";

// A program folder whose list names the mailbox peer's "anna" (by default
// with kVierMails), the window shown with the message list, the session
// talking to the peer, and a hook that holds the reply to `held` in
// conversation `conversation` until the test opens the gate.
class HeldReply {
 public:
  HeldReply(int conversation, std::string held, std::vector<fixtures::ScriptMail> mails = kVierMails)
      : box(std::move(mails)) {
    dir.Write("Kelvo_Mailboxen.txt", mwtest::MailboxListe({"127.0.0.1 anna pw"}));
    dir.Write("Kelvo_Spamdefs.txt", kDefs);
    dir.CopyShipped("Kelvo_Info.rtf");
    box.SetHook([this, conversation, held](int c, const std::string& command) -> std::optional<std::string> {
      if (c == conversation && command == held) {
        waiting = true;
        gate->WaitOpen(20s);
      }
      return std::nullopt;
    });
  }
  ~HeldReply() { gate->Open(); }
  void Show(Tfrm_Emails* f) {
    f->show();
    QVERIFY(QTest::qWaitForWindowExposed(f));
    GUISession.pop3->Port = box.Port();
    ClickServer(f, 0);
  }

  ProgramFolder dir;
  std::atomic<bool> waiting{false};
  std::shared_ptr<fixtures::Gate> gate = std::make_shared<fixtures::Gate>();
  // Last, so that its thread has ended before the hook's state goes.
  fixtures::MailboxPeer box;
};

// Calls `act` once, from inside the window's events, as soon as `when`
// holds; runs while network waits pump the events.
class WhenThen : public QObject {
 public:
  WhenThen(std::function<bool()> when, std::function<void()> act) : when_(std::move(when)), act_(std::move(act)) {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
      if (done_ || inside_ || !when_()) return;
      inside_ = true;
      act_();
      inside_ = false;
      done_ = true;
    });
    timer_.start(1);
  }
  bool Done() const { return done_; }

 private:
  std::function<bool()> when_;
  std::function<void()> act_;
  QTimer timer_;
  bool done_ = false;
  bool inside_ = false;
};

// Records when timed runs begin and end.
class RunClock : public QObject {
 public:
  RunClock() {
    clock_.start();
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] {
      if (AutodeleteBusy != busy_) {
        busy_ = AutodeleteBusy;
        (busy_ ? starts : ends).push_back(clock_.elapsed());
      }
    });
    timer_.start(1);
  }
  qint64 Now() const { return clock_.elapsed(); }
  std::vector<qint64> starts;
  std::vector<qint64> ends;

 private:
  QElapsedTimer clock_;
  QTimer timer_;
  bool busy_ = false;
};

const std::regex kProtokollZeile(R"(\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d \+\+\+: (\d+))");

int CountOf(const std::string& line) {
  std::smatch m;
  if (!std::regex_match(line, m, kProtokollZeile)) return -1;
  return std::stoi(m[1]);
}

std::vector<std::string> LogLines(const ProgramFolder& dir) {
  std::vector<std::string> lines;
  std::string text = dir.Read("Kelvo_Log.txt");
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return lines;
}

constexpr int kMinuteMs = 300;  // one batch "minute" in these tests
constexpr int kEarlyMs = 2;     // measuring slack between two clocks

}  // namespace

class MainWindowPop3Test : public QObject {
  Q_OBJECT

 private slots:
  void init() { Tfrm_Emails::SetMillisecondsPerMinuteForTests(kMinuteMs); }
  void cleanup() { Tfrm_Emails::SetMillisecondsPerMinuteForTests(kMillisekundenJeMinute); }

  void interactiveCheckFromSelectionToDeletion() {
    Setup s;
    desktop::TMessageBoxRecorder boxes;
    Window f;
    s.Connect(f.get());
    f->PageControl1->SetActivePage(f->TS_Info);
    ClickServer(f.get(), 0);
    QCOMPARE(f->l_host->Caption(), std::string("Server: 127.0.0.1"));
    QCOMPARE(f->PageControl1->ActivePage(), f->ts_mailList);

    f->mm_p_HoleMailheader->Click();
    QVERIFY(boxes.Calls().empty());
    QCOMPARE(f->sg_list->RowCount(), 6);
    QCOMPARE(Column(f.get(), 0), (std::vector<std::string>{"1", "2", "3", "4", "5"}));
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{" ", "X", " ", " ", " "}));
    // Server texts as received, the blank after the colon included.
    QCOMPARE(f->sg_list->Cells(3, 2), std::string(" Ihr LOTTO-Gewinn wartet"));
    QCOMPARE(f->sg_list->Cells(4, 4), std::string(" newsletter@shop.example"));
    QVERIFY(!GUISession.veraltet);

    // Double clicks toggle with the lower-case sign.
    DoubleClickRow(f.get(), 3);
    DoubleClickRow(f.get(), 2);
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{" ", " ", "x", " ", " "}));
    DoubleClickRow(f.get(), 2);
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{" ", "x", "x", " ", " "}));

    // An unsaved rule edit counts for "Spamcheck"; hand marks are replaced.
    f->M_virdefs->SetText(kDefs + "[FROM]\r\n< newsletter\r\n");
    f->pm_ml_Spamcheck->Click();
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{" ", "X", " ", "X", " "}));
    QCOMPARE(s.dir.Read("Kelvo_Spamdefs.txt"), kDefs);

    // "Senden" deletes exactly the marked messages.
    DoubleClickRow(f.get(), 5);
    f->kn_DeleteMails->Click();
    QVERIFY(boxes.Calls().empty());
    QCOMPARE(s.Subjects("anna", "pw-anna"), (std::vector<std::string>{"Treffen am Donnerstag", "Urlaubsfotos"}));
    QCOMPARE(f->sg_list->RowCount(), 3);
    QCOMPARE(Column(f.get(), 3), (std::vector<std::string>{" Treffen am Donnerstag", " Urlaubsfotos"}));
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{" ", " "}));
    QCOMPARE(f->statusbar->Panels(1).Text(), std::string("2"));
    QVERIFY(GUISession.veraltet);

    // The list is stale now: marks and "Senden" wait for the next load.
    DoubleClickRow(f.get(), 1);
    f->mm_p_LoescheMarkierte->Click();
    QCOMPARE(s.Subjects("anna", "pw-anna").size(), size_t(2));
    f->pm_ml_headerLaden->Click();
    QCOMPARE(Column(f.get(), 3), (std::vector<std::string>{" Treffen am Donnerstag", " Urlaubsfotos"}));
    QCOMPARE(Column(f.get(), 0), (std::vector<std::string>{"1", "2"}));
    QVERIFY(boxes.Calls().empty());
  }

  // While a load runs: a click on another server changes neither the
  // session's mailbox nor l_host but shows the message list; a second load
  // request leaves the grid alone.
  void commandsWhileALoadRuns() {
    std::vector<Mail> many;
    for (int i = 0; i < 40; ++i) many.push_back({"x" + std::to_string(i) + "@example.org", "Nachricht " + std::to_string(i)});
    Setup s(many, kAnnasMails);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    s.Connect(f.get());
    ClickServer(f.get(), 0);
    int rowsBefore = -1, rowsAfter = -1;
    std::string cellBefore, cellAfter;
    WhenThen during([] { return GUISession.busy && GUISession.anzahl > 0; },
                    [&] {
                      f->PageControl1->SetActivePage(f->ts_virdefs);
                      ClickServer(f.get(), 1);
                      rowsBefore = f->sg_list->RowCount();
                      cellBefore = f->sg_list->Cells(3, 1);
                      f->mm_p_HoleMailheader->Click();
                      f->A_mailheaderLaden->Execute();
                      rowsAfter = f->sg_list->RowCount();
                      cellAfter = f->sg_list->Cells(3, 1);
                    });
    f->mm_p_HoleMailheader->Click();
    QVERIFY(during.Done());
    QCOMPARE(GUISession.aktuell, 0);
    QCOMPARE(GUISession.konto.user, std::string("anna"));
    QCOMPARE(f->l_host->Caption(), std::string("Server: 127.0.0.1"));
    QCOMPARE(f->PageControl1->ActivePage(), f->ts_mailList);
    QCOMPARE(rowsAfter, rowsBefore);
    QCOMPARE(cellAfter, cellBefore);
    QCOMPARE(f->sg_list->RowCount(), 41);
    QCOMPARE(f->sg_list->Cells(3, 40), std::string(" Nachricht 39"));
    QVERIFY(boxes.Calls().empty());
  }

  // Runs come one interval after "Start!" and one interval after the
  // previous run ended; each writes its protocol line and its log line.
  void timedRunsAndTheirLines() {
    Setup s;
    desktop::TMessageBoxRecorder boxes;
    Window f;
    s.Connect(f.get());
    ClickServer(f.get(), 0);
    f->mm_p_batch->Click();
    f->batch_delInterval->SetValue(1);
    RunClock clock;
    const qint64 started = clock.Now();
    f->mm_p_batchStartStop->Click();
    // The times of the runs themselves, taken around the timer's handler on
    // its own thread (the clock's samples may come late under load). A
    // handler set anew restarts the interval: the first run only comes later.
    std::vector<qint64> runStarts, runEnds;
    const platform::TNotifyEvent run = f->Timer->OnTimer();
    f->Timer->SetOnTimer([&, run](platform::TObject* sender) {
      const int linesBefore = f->batch_protokoll->Lines().Count();
      const qint64 entered = clock.Now();
      run(sender);
      if (f->batch_protokoll->Lines().Count() == linesBefore) return;  // a tick skipped
      runStarts.push_back(entered);
      runEnds.push_back(clock.Now());
      // The rules of the file on disk count, also when changed between runs.
      if (runEnds.size() == 1) s.dir.Write("Kelvo_Spamdefs.txt", "[FROM]\r\n< newsletter\r\n");
      if (runEnds.size() == 2) f->mm_p_batchStartStop->Click();  // Stop!, before any third run
    });
    QVERIFY(mwtest::WaitFor([&] { return runEnds.size() == 2; }));

    QVERIFY(boxes.Calls().empty());
    QVERIFY2(runStarts[0] - started >= kMinuteMs - kEarlyMs, "first run one interval after Start!");
    QVERIFY2(runStarts[1] - runEnds[0] >= kMinuteMs - kEarlyMs, "next run one interval after the end");
    const auto lines = mwtest::LinesOf(*f->batch_protokoll);
    QCOMPARE(lines.size(), size_t(2));
    QCOMPARE(CountOf(lines[0]), 1);
    QCOMPARE(CountOf(lines[1]), 1);
    const auto log = LogLines(s.dir);
    QCOMPARE(log.size(), size_t(2));
    QCOMPARE(CountOf(log[0]), 1);
    QCOMPARE(CountOf(log[1]), 1);
    QCOMPARE(s.Subjects("anna", "pw-anna"),
             (std::vector<std::string>{"Treffen am Donnerstag", "Urlaubsfotos", "Rechnung Nr. 4711"}));
    QCOMPARE(f->Label5->Caption(), std::string("n"));

    // Nothing matching: the line counts 0.
    f->mm_p_batchStartStop->Click();
    QVERIFY(mwtest::WaitFor([&] { return f->batch_protokoll->Lines().Count() == 3; }));
    f->mm_p_batchStartStop->Click();
    QCOMPARE(CountOf(f->batch_protokoll->Lines()[2]), 0);
  }

  // Commands arriving while a run is in progress: the run always goes to
  // its end, deletions and lines included; what follows depends on them.
  void commandsDuringARun_data() {
    QTest::addColumn<QString>("during");
    QTest::addColumn<QString>("captionAtOnce");
    QTest::addColumn<QString>("statusAtOnce");
    QTest::addColumn<bool>("furtherRuns");
    QTest::addColumn<bool>("itemsEnabled");
    QTest::newRow("Stop!") << "stop" << "Start!" << "+++ passiv +++" << false << true;
    QTest::newRow("&Batch off") << "batch" << "Start!" << "+++ passiv +++" << false << false;
    QTest::newRow("Stop! then Start!") << "stop start" << "Stop!" << "+++ wartet +++" << true << true;
  }
  void commandsDuringARun() {
    QFETCH(QString, during);
    QFETCH(QString, captionAtOnce);
    QFETCH(QString, statusAtOnce);
    QFETCH(bool, furtherRuns);
    QFETCH(bool, itemsEnabled);
    Setup s;
    desktop::TMessageBoxRecorder boxes;
    Window f;
    s.Connect(f.get());
    ClickServer(f.get(), 0);
    f->mm_p_batch->Click();
    f->batch_delInterval->SetValue(1);
    RunClock clock;
    std::string caption, status;
    bool timerAtOnce = false;
    WhenThen act([] { return AutodeleteBusy; },
                 [&] {
                   if (during.startsWith("stop")) f->mm_p_batchStartStop->Click();
                   if (during == "batch") f->pm_b_onOff->Click();
                   if (during.endsWith("start")) f->pm_b_startStop->Click();
                   caption = f->mm_p_batchStartStop->Caption();
                   status = f->lbl_Batchstatus->Caption();
                   timerAtOnce = f->Timer->Enabled();
                 });
    f->mm_p_batchStartStop->Click();
    QVERIFY(mwtest::WaitFor([&] { return clock.ends.size() >= 1; }));
    if (furtherRuns)
      QVERIFY(mwtest::WaitFor([&] { return clock.ends.size() >= 2; }));
    else
      mwtest::RunFor(std::chrono::milliseconds(3 * kMinuteMs));

    QVERIFY(act.Done());
    QCOMPARE(QString::fromStdString(caption), captionAtOnce);
    QCOMPARE(QString::fromStdString(status), statusAtOnce);
    QCOMPARE(timerAtOnce, furtherRuns);
    QVERIFY(boxes.Calls().empty());
    // The interrupted run still deleted and wrote its lines.
    QVERIFY(f->batch_protokoll->Lines().Count() >= 1);
    QCOMPARE(CountOf(f->batch_protokoll->Lines()[0]), 1);
    QVERIFY(!LogLines(s.dir).empty());
    QCOMPARE(s.Subjects("anna", "pw-anna").size(), size_t(4));
    QCOMPARE(clock.starts.size() > 1, furtherRuns);
    QCOMPARE(f->Timer->Enabled(), furtherRuns);
    QCOMPARE(f->lbl_Batchstatus->Caption(), statusAtOnce.toStdString());
    QCOMPARE(f->mm_p_batchStartStop->Enabled(), itemsEnabled);
    QCOMPARE(f->pm_b_startStop->Enabled(), itemsEnabled);
    QCOMPARE(f->mm_p_batch->Checked(), during != "batch");
    QVERIFY(!AutodeleteBusy);
    f->A_stopBatchExecute(nullptr);
  }

  // A timed run leaves the interactive list as loaded, on another mailbox
  // and on the same one. There a new message has come and the run deletes
  // message 2, so the count is what the list shows but the numbers have
  // moved: "Senden" deletes the marked message still at its number, keeps
  // the two marked ones the run moved, with their marks, and one box says
  // so. After loading again it deletes by the new numbers.
  void sendenAfterARunDeletesOnlyWhatIsStillAsLoaded() {
    Setup s(kAnnasMails, {{"Lotto-Team <a@spam.example>", "LOTTO Jackpot"}, {"Dora <d@example.org>", "Hallo Bob"}});
    desktop::TMessageBoxRecorder boxes;
    Window f;
    s.Connect(f.get());
    auto runOnce = [&](int server) {
      f->ListBox1->SetItemIndex(server);  // highlighted only: no selection of the interactive session
      f->mm_p_batch->Click();
      const int before = f->batch_protokoll->Lines().Count();
      f->batch_delInterval->SetValue(1);
      f->mm_p_batchStartStop->Click();
      QVERIFY(mwtest::WaitFor([&] { return f->batch_protokoll->Lines().Count() > before; }));
      f->mm_p_batch->Click();  // off again
    };

    // Another mailbox (bob).
    ClickServer(f.get(), 0);
    f->mm_p_HoleMailheader->Click();
    runOnce(1);
    QCOMPARE(s.Subjects("bob", "pw-bob"), std::vector<std::string>{"Hallo Bob"});
    QCOMPARE(GUISession.konto.user, std::string("anna"));
    QVERIFY(!GUISession.veraltet);

    // Anna's own mailbox.
    s.Add("anna", {{"Eva <eva@example.org>", "Neu angekommen"}});
    runOnce(0);
    QCOMPARE(s.Subjects("anna", "pw-anna"), (std::vector<std::string>{"Treffen am Donnerstag", "Urlaubsfotos",
                                                                      "Angebote der Woche", "Rechnung Nr. 4711",
                                                                      "Neu angekommen"}));
    QVERIFY(!GUISession.veraltet);
    QVERIFY(boxes.Calls().empty());
    DoubleClickRow(f.get(), 1);  // "Treffen am Donnerstag", still number 1
    DoubleClickRow(f.get(), 3);  // "Urlaubsfotos" in the old list, number 3; now number 2
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{"x", "X", "x", " ", " "}));  // row 2: the run's LOTTO
    f->kn_DeleteMails->Click();
    QCOMPARE(boxes.Texts(),
             std::vector<std::string>{"2 markierte Mail(s) auf dem Server ge\xC3\xA4ndert, nicht gel\xC3\xB6scht"});
    QCOMPARE(s.Subjects("anna", "pw-anna"), (std::vector<std::string>{"Urlaubsfotos", "Angebote der Woche",
                                                                      "Rechnung Nr. 4711", "Neu angekommen"}));
    QCOMPARE(Column(f.get(), 3), (std::vector<std::string>{" Ihr LOTTO-Gewinn wartet", " Urlaubsfotos",
                                                           " Angebote der Woche", " Rechnung Nr. 4711"}));
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{"X", "X", " ", " "}));

    f->mm_p_HoleMailheader->Click();
    QCOMPARE(Column(f.get(), 3), (std::vector<std::string>{" Urlaubsfotos", " Angebote der Woche",
                                                           " Rechnung Nr. 4711", " Neu angekommen"}));
    DoubleClickRow(f.get(), 1);
    f->kn_DeleteMails->Click();
    QCOMPARE(s.Subjects("anna", "pw-anna"),
             (std::vector<std::string>{"Angebote der Woche", "Rechnung Nr. 4711", "Neu angekommen"}));
    QCOMPARE(boxes.Calls().size(), size_t(1));
  }

  // Between the load and "Senden" another client deletes message 3, so the
  // marked message 4 is number 3 now and number 4 names another one: the
  // pass deletes message 2 only, one box says so, the moved message stays
  // in the grid with its mark, and "Senden" waits for the next load, after
  // which it deletes the moved one by its new number.
  void changedMessagesStayMarkedAndSendenWaitsForALoad() {
    Setup s({{"Anna <anna@example.org>", "Treffen"},
             {"Gewinn <g@spam.example>", "LOTTO eins"},
             {"Bernd <bernd@example.org>", "Urlaub"},
             {"Gewinn <g@spam.example>", "LOTTO zwei"},
             {"Clara <clara@example.org>", "Rechnung"}});
    desktop::TMessageBoxRecorder boxes;
    Window f;
    s.Connect(f.get());
    ClickServer(f.get(), 0);
    f->mm_p_HoleMailheader->Click();
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{" ", "X", " ", "X", " "}));
    {
      fixtures::MiniPop3Client other;
      other.Connect(fixtures::DovecotServer::Host(), s.server.Port());
      other.Login("anna", "pw-anna");
      QVERIFY(fixtures::MiniPop3Client::IsOk(other.Dele(3)));
      other.Quit();
    }
    f->kn_DeleteMails->Click();
    QCOMPARE(boxes.Texts(), std::vector<std::string>{kGeaendert});
    QCOMPARE(boxes.Calls()[0].Caption, std::string("Mailbox"));
    QCOMPARE(s.Subjects("anna", "pw-anna"), (std::vector<std::string>{"Treffen", "LOTTO zwei", "Rechnung"}));
    // The list knows nothing of the other client: its unmarked entries stay.
    QCOMPARE(Column(f.get(), 3), (std::vector<std::string>{" Treffen", " Urlaub", " LOTTO zwei", " Rechnung"}));
    QCOMPARE(Column(f.get(), 0), (std::vector<std::string>{"1", "3", "4", "5"}));
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{" ", " ", "X", " "}));
    QVERIFY(GUISession.veraltet);

    f->kn_DeleteMails->Click();
    QCOMPARE(s.Subjects("anna", "pw-anna").size(), size_t(3));
    f->mm_p_HoleMailheader->Click();
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{" ", "X", " "}));
    f->kn_DeleteMails->Click();
    QCOMPARE(s.Subjects("anna", "pw-anna"), (std::vector<std::string>{"Treffen", "Rechnung"}));
    QCOMPARE(boxes.Calls().size(), size_t(1));
  }

  // A timed run whose mailbox changed between its scan and its pass: the
  // protocol page and the log get the count line and then the kept one; a
  // timed run shows no box.
  void timedRunReportsChangedMessages() {
    ProgramFolder dir;
    dir.Write("Kelvo_Mailboxen.txt", mwtest::MailboxListe({"127.0.0.1 anna pw"}));
    dir.Write("Kelvo_Spamdefs.txt", kDefs);
    dir.CopyShipped("Kelvo_Info.rtf");
    const std::vector<fixtures::ScriptMail> mails = {{"From: a@x\r\nSubject: Hallo\r\n", 10},
                                                     {"From: g@spam\r\nSubject: LOTTO eins\r\n", 20},
                                                     {"From: b@x\r\nSubject: Urlaub\r\n", 30},
                                                     {"From: g@spam\r\nSubject: LOTTO zwei\r\n", 40}};
    fixtures::Script sc;
    fixtures::Pop3Scan(sc, "anna", "pw", mails).Accept();
    fixtures::Pop3Login(sc, "anna", "pw", 4);
    fixtures::Pop3Summary(sc, 2, mails[1]).Exchange("DELE 2", "+OK\r\n");
    fixtures::Pop3Top(sc, 4, {"From: c@x\r\nSubject: Neu\r\n", 40}).Exchange("QUIT", "+OK\r\n").AwaitClose();
    fixtures::ScriptedPeer peer(sc);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    BatchSession.pop3->Port = peer.Port();
    f->ListBox1->SetItemIndex(0);
    f->mm_p_batch->Click();
    f->a_autodelete->Execute();
    QVERIFY(peer.WaitDone());
    QVERIFY(peer.Failures().empty());
    const auto lines = mwtest::LinesOf(*f->batch_protokoll);
    QCOMPARE(lines.size(), size_t(2));
    QCOMPARE(CountOf(lines[0]), 2);
    QCOMPARE(lines[1], " +++: " + kGeaendert);
    const auto log = LogLines(dir);
    QCOMPARE(log.size(), size_t(2));
    QCOMPARE(CountOf(log[0]), 2);
    QCOMPARE(log[1], " +++: " + kGeaendert);
    QVERIFY(boxes.Calls().empty());
  }

  // A run that ends on the same mailbox while an interactive load is
  // listing it leaves the load's list as the load read it: "Senden" then
  // deletes the marked messages still at their numbers and keeps the one
  // the run has deleted, which the box reports.
  void runEndingDuringALoadOfTheSameMailbox() {
    Setup s;
    desktop::TMessageBoxRecorder boxes;
    Window f;
    s.Connect(f.get());
    ClickServer(f.get(), 0);
    f->mm_p_batch->Click();  // batch mailbox: anna as well
    // The tick comes once the load has fetched message 2, the one the run
    // deletes (a server refuses TOP for a message deleted meanwhile).
    WhenThen tick([&] { return GUISession.busy && !f->sg_list->Cells(0, 2).empty(); },
                  [&] { f->a_autodelete->Execute(); });
    f->mm_p_HoleMailheader->Click();
    QVERIFY(tick.Done());
    QCOMPARE(f->batch_protokoll->Lines().Count(), 1);
    QCOMPARE(s.Subjects("anna", "pw-anna").size(), size_t(4));
    QVERIFY(!GUISession.veraltet);
    QCOMPARE(f->sg_list->RowCount(), 6);
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{" ", "X", " ", " ", " "}));
    QVERIFY2(boxes.Calls().empty(), boxes.Calls().empty() ? "" : boxes.Calls()[0].Text.c_str());

    DoubleClickRow(f.get(), 1);  // "Treffen am Donnerstag", still number 1
    f->kn_DeleteMails->Click();
    QCOMPARE(boxes.Texts(), std::vector<std::string>{kGeaendert});
    QCOMPARE(s.Subjects("anna", "pw-anna"),
             (std::vector<std::string>{"Urlaubsfotos", "Angebote der Woche", "Rechnung Nr. 4711"}));
    QCOMPARE(Column(f.get(), 3), (std::vector<std::string>{" Ihr LOTTO-Gewinn wartet", " Urlaubsfotos",
                                                           " Angebote der Woche", " Rechnung Nr. 4711"}));
  }

  // The same with the load held on a gate: while the load waits on message
  // 3's header lines, a timed run cleans the mailbox. The run's client talks
  // to a second peer with anna's mail, standing in for the same mailbox
  // (same server name and user, as the window knows mailboxes); what the run
  // left reaches the load's peer once the load has ended, as a server shows
  // another conversation's deletions to later ones only. The load's list is
  // not stale: "Senden" checks every mark, deletes the hand-marked message
  // still at number 1 and keeps the two the run deleted.
  void runEndingWhileTheLoadWaits() {
    const std::vector<fixtures::ScriptMail> mails = {{"From: a@x\r\nSubject: Hallo\r\n", 110},
                                                     {"From: g@spam\r\nSubject: LOTTO eins\r\n", 220},
                                                     {"From: b@x\r\nSubject: Urlaub\r\n", 330},
                                                     {"From: g@spam\r\nSubject: LOTTO zwei\r\n", 440}};
    HeldReply h(1, "TOP 3 0", mails);
    fixtures::MailboxPeer batchBox(mails);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    h.Show(f.get());
    BatchSession.pop3->Port = batchBox.Port();
    f->mm_p_batch->Click();  // batch mailbox: anna as well

    bool loadWaited = false;
    WhenThen during([&] { return h.waiting.load(); },
                    [&] {
                      loadWaited = GUISession.busy && GUISession.pop3->CommandBusy();
                      f->a_autodelete->Execute();
                      h.gate->Open();
                    });
    f->mm_p_HoleMailheader->Click();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QVERIFY(during.Done());
    QVERIFY2(loadWaited, "the run did not end inside the load's wait");
    QCOMPARE(CountOf(f->batch_protokoll->Lines()[0]), 2);
    QCOMPARE(Subjects(batchBox.Mailbox()), (std::vector<std::string>{" Hallo", " Urlaub"}));
    QVERIFY(!GUISession.veraltet);
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{" ", "X", " ", "X"}));

    h.box.Replace(batchBox.Mailbox());
    DoubleClickRow(f.get(), 1);
    f->kn_DeleteMails->Click();
    QCOMPARE(boxes.Texts(),
             std::vector<std::string>{"2 markierte Mail(s) auf dem Server ge\xC3\xA4ndert, nicht gel\xC3\xB6scht"});
    // LOTTO zwei's number is past the count now: nothing is asked for it.
    QCOMPARE(h.box.Commands(2), (std::vector<std::string>{"USER anna", "PASS pw", "STAT", "TOP 1 0", "LIST 1",
                                                          "DELE 1", "TOP 2 0", "QUIT"}));
    QCOMPARE(Subjects(h.box.Mailbox()), std::vector<std::string>{" Urlaub"});
    QCOMPARE(Column(f.get(), 3), (std::vector<std::string>{" LOTTO eins", " Urlaub", " LOTTO zwei"}));
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{"X", " ", "X"}));
    QVERIFY(h.box.Failures().empty());
    QVERIFY(batchBox.Failures().empty());
  }

  // While the pass waits on its first TOP reply, real double clicks on a
  // marked and an unmarked row and a "Spamcheck" with other rules change
  // no mark, neither then nor once the pass has ended: the DELEs are those
  // of the rows marked at the start, and the grid lists what the server
  // still holds, unmarked. The clicked rows are rows 1 and 2 again after
  // the pass, so a toggle kept for later would show there.
  void marksHoldStillWhileThePassWaits() {
    HeldReply h(2, "TOP 1 0");
    desktop::TMessageBoxRecorder boxes;
    Window f;
    h.Show(f.get());
    f->mm_p_HoleMailheader->Click();
    QCOMPARE(Column(f.get(), 1), kRegelMarken);

    bool inTheWait = false;
    std::vector<std::string> marksThen;
    std::vector<int> sessionThen;
    WhenThen during([&] { return h.waiting.load(); },
                    [&] {
                      inTheWait = GUISession.busy && GUISession.pop3->CommandBusy();
                      MouseDoubleClickRow(f.get(), 1);
                      MouseDoubleClickRow(f.get(), 2);
                      f->M_virdefs->SetText(kAndereDefs);
                      f->pm_ml_Spamcheck->Click();
                      marksThen = Column(f.get(), 1);
                      sessionThen = SessionMarks();
                      h.gate->Open();
                    });
    f->kn_DeleteMails->Click();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();

    QVERIFY(during.Done());
    QVERIFY2(inTheWait, "the clicks were not handled inside the wait for the TOP reply");
    QCOMPARE(marksThen, kRegelMarken);
    QCOMPARE(sessionThen, (std::vector<int>{1, 0, 0, 1}));
    QCOMPARE(Deles(h.box.Commands(2)), (std::vector<std::string>{"DELE 1", "DELE 4"}));
    QCOMPARE(Subjects(h.box.Mailbox()), (std::vector<std::string>{" Hallo", " Urlaub"}));
    QCOMPARE(Column(f.get(), 3), (std::vector<std::string>{" Hallo", " Urlaub"}));
    QCOMPARE(Column(f.get(), 0), (std::vector<std::string>{"2", "3"}));
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{" ", " "}));
    QCOMPARE(SessionMarks(), (std::vector<int>{0, 0}));
    QVERIFY(h.box.Failures().empty());
    QVERIFY(boxes.Calls().empty());

    // Once the session is idle, the same double click marks again.
    MouseDoubleClickRow(f.get(), 2);
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{" ", "x"}));
  }

  // While the load waits on message 3's header lines, double clicks on a
  // built and an unbuilt row change no mark and leave nothing for later: the
  // load ends with the marks of the rules.
  void marksHoldStillWhileTheLoadWaits() {
    HeldReply h(1, "TOP 3 0");
    desktop::TMessageBoxRecorder boxes;
    Window f;
    h.Show(f.get());

    bool inTheWait = false;
    std::vector<std::string> marksBefore, marksThen;
    std::vector<int> sessionBefore, sessionThen;
    WhenThen during([&] { return h.waiting.load(); },
                    [&] {
                      inTheWait = GUISession.busy && GUISession.pop3->CommandBusy();
                      marksBefore = Column(f.get(), 1);
                      sessionBefore = SessionMarks();
                      MouseDoubleClickRow(f.get(), 1);
                      MouseDoubleClickRow(f.get(), 3);
                      marksThen = Column(f.get(), 1);
                      sessionThen = SessionMarks();
                      h.gate->Open();
                    });
    f->mm_p_HoleMailheader->Click();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();

    QVERIFY(during.Done());
    QVERIFY2(inTheWait, "the clicks were not handled inside the wait for the TOP reply");
    QCOMPARE(marksThen, marksBefore);
    QCOMPARE(sessionThen, sessionBefore);
    QCOMPARE(Column(f.get(), 3), Subjects(kVierMails));
    QCOMPARE(Column(f.get(), 1), kRegelMarken);
    QCOMPARE(SessionMarks(), (std::vector<int>{1, 0, 0, 1}));
    QVERIFY(!GUISession.veraltet);
    QVERIFY(h.box.Failures().empty());
    QVERIFY(boxes.Calls().empty());
  }

  // After a load of anna's five messages, a load of another mailbox that
  // ends at the login or finds no mail leaves no cell of anna's load: the
  // grid shows the title row and one empty row, as with no entries, and
  // neither the load's own check nor a later "Spamcheck" or double click
  // brings anna's entries back. Nor does the progress panel keep anna's
  // count: it is empty after a load that learned no count, 0/0 after one
  // that found the mailbox empty.
  void loadEndingAtTheLoginLeavesNoEarlierCells_data() {
    QTest::addColumn<int>("server");  // item of the list below
    QTest::addColumn<QString>("peer");  // who answers on 127.0.0.1; "-": the Dovecot
    QTest::addColumn<QStringList>("boxTexts");
    QTest::addColumn<QString>("progress");  // panel 1 afterwards
    const QString keine = QString::fromUtf8("Serververbindung nicht m\xC3\xB6glich");
    const QString abgelehnt = QString::fromUtf8("Anmeldung nicht m\xC3\xB6glich");
    QTest::newRow("no messages") << 1 << "-" << QStringList{} << "0/0";
    QTest::newRow("login rejected") << 3 << "login rejected" << QStringList{abgelehnt, keine} << "";
    QTest::newRow("unknown server") << 2 << "-" << QStringList{keine} << "";
    QTest::newRow("refused") << 3 << "nobody" << QStringList{keine} << "";
    QTest::newRow("greeting refused") << 3 << "greeting refused" << QStringList{keine} << "";
    QTest::newRow("login accepted at the second attempt") << 3 << "second attempt" << QStringList{abgelehnt} << "";
  }
  void loadEndingAtTheLoginLeavesNoEarlierCells() {
    QFETCH(int, server);
    QFETCH(QString, peer);
    QFETCH(QStringList, boxTexts);
    QFETCH(QString, progress);
    Setup s;  // bob's mailbox is empty
    // A label too long for a name-server query: the lookup fails on this
    // machine without any packet leaving it.
    const std::string unbekannt = std::string(70, 'x') + ".invalid";
    s.dir.Write("Kelvo_Mailboxen.txt", mwtest::MailboxListe({"127.0.0.1 anna pw-anna", "127.0.0.1 bob pw-bob",
                                                             unbekannt + " bob pw-bob", "127.0.0.1 anna pw"}));
    fixtures::Script sc;
    if (peer == "greeting refused") sc.Send("-ERR busy\r\n").Exchange("QUIT", "+OK\r\n").AwaitClose();
    if (peer == "login rejected" || peer == "second attempt") {
      const bool second = peer == "second attempt";
      sc.Send("+OK ready\r\n")
          .Exchange("USER anna", "+OK\r\n")
          .Exchange("PASS pw", "-ERR no\r\n")
          .Exchange("USER anna", "+OK\r\n")
          .Exchange("PASS pw", second ? "+OK\r\n" : "-ERR no\r\n");
      if (second) sc.Exchange("STAT", "+OK 3 300\r\n");
      sc.Exchange("QUIT", "+OK\r\n").AwaitClose();
    }
    std::optional<fixtures::ScriptedPeer> scripted;
    if (!sc.Steps().empty()) scripted.emplace(sc);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    s.Connect(f.get());
    ClickServer(f.get(), 0);
    f->mm_p_HoleMailheader->Click();
    QCOMPARE(Column(f.get(), 3).size(), kAnnasMails.size());
    QCOMPARE(f->sg_list->Cells(3, 1), std::string(" Treffen am Donnerstag"));
    QCOMPARE(f->statusbar->Panels(kPanelFortschritt).Text(), std::string("5/5"));

    if (peer == "nobody") GUISession.pop3->Port = fixtures::UnusedPort();
    if (scripted) GUISession.pop3->Port = scripted->Port();
    ClickServer(f.get(), server);
    f->mm_p_HoleMailheader->Click();
    if (scripted) {
      QVERIFY(scripted->WaitDone());
      QVERIFY(scripted->Failures().empty());
    }
    std::vector<std::string> texts;
    for (const QString& t : boxTexts) texts.push_back(t.toStdString());
    QCOMPARE(boxes.Texts(), texts);

    auto noCellBelowTheTitle = [&] {
      for (int r = 1; r <= int(kAnnasMails.size()) + 1; ++r)
        for (int c = 0; c < kGridSpalten; ++c)
          if (!f->sg_list->Cells(c, r).empty())
            return "row " + std::to_string(r) + " column " + std::to_string(c) + ": " + f->sg_list->Cells(c, r);
      return std::string();
    };
    QCOMPARE(noCellBelowTheTitle(), std::string());
    QCOMPARE(f->sg_list->RowCount(), 2);
    QCOMPARE(f->sg_list->FixedRows(), 1);
    QCOMPARE(int(GUISession.anzahl), 0);
    QCOMPARE(f->statusbar->Panels(kPanelFortschritt).Text(), progress.toStdString());
    f->pm_ml_Spamcheck->Click();
    DoubleClickRow(f.get(), 1);
    QCOMPARE(noCellBelowTheTitle(), std::string());
    QCOMPARE(s.Subjects("anna", "pw-anna").size(), kAnnasMails.size());
  }

  // Only the left button's double click toggles a mark; the middle and the
  // right one leave grid and session as the rules marked them.
  void onlyTheLeftButtonToggles_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<bool>("toggles");
    QTest::newRow("left") << int(Qt::LeftButton) << true;
    QTest::newRow("middle") << int(Qt::MiddleButton) << false;
    QTest::newRow("right") << int(Qt::RightButton) << false;
  }
  void onlyTheLeftButtonToggles() {
    QFETCH(int, button);
    QFETCH(bool, toggles);
    HeldReply h(0, "");  // nothing held
    desktop::TMessageBoxRecorder boxes;
    Window f;
    h.Show(f.get());
    f->mm_p_HoleMailheader->Click();
    QCOMPARE(Column(f.get(), 1), kRegelMarken);

    // A marked and an unmarked row.
    MouseDoubleClickRow(f.get(), 1, Qt::MouseButton(button));
    MouseDoubleClickRow(f.get(), 2, Qt::MouseButton(button));
    if (toggles) {
      QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{" ", "x", " ", "X"}));
      QCOMPARE(SessionMarks(), (std::vector<int>{0, 1, 0, 1}));
    } else {
      QCOMPARE(Column(f.get(), 1), kRegelMarken);
      QCOMPARE(SessionMarks(), (std::vector<int>{1, 0, 0, 1}));
    }
    QVERIFY(boxes.Calls().empty());
  }

  // A real click below the last row leaves the highlight where it was, and
  // a double click there toggles the mark of exactly the row highlighted:
  // after a click on a row, and after a deletion pass has left fewer rows
  // than there were (the row clicked before is gone).
  void clickBelowTheRowsKeepsTheRowTheDoubleClickToggles_data() {
    QTest::addColumn<bool>("afterDeletion");
    QTest::newRow("row clicked") << false;
    QTest::newRow("fewer rows after a deletion pass") << true;
  }
  void clickBelowTheRowsKeepsTheRowTheDoubleClickToggles() {
    QFETCH(bool, afterDeletion);
    HeldReply h(0, "");  // nothing held
    desktop::TMessageBoxRecorder boxes;
    Window f;
    h.Show(f.get());
    f->mm_p_HoleMailheader->Click();
    QCOMPARE(Column(f.get(), 1), kRegelMarken);
    desktop::TStringGrid* g = f->sg_list;
    QWidget* view = g->viewport();
    const QRect row3 = g->visualRect(g->model()->index(2, kSpalteSubject));
    QTest::mouseClick(view, Qt::LeftButton, {}, afterDeletion ? row3.translated(0, row3.height()).center()
                                                                : row3.center());
    if (afterDeletion) {
      f->kn_DeleteMails->Click();  // deletes messages 1 and 4; row 4 goes
      QCOMPARE(Column(f.get(), 3), (std::vector<std::string>{" Hallo", " Urlaub"}));
    }
    auto highlighted = [&] {
      std::vector<int> rows;
      for (int m = 0; m < g->model()->rowCount(); ++m)
        if (g->selectionModel()->isRowSelected(m, {})) rows.push_back(m + 1);
      return rows;
    };
    const std::vector<int> before = highlighted();
    QCOMPARE(before.size(), size_t(1));
    const int r = before.front();
    const std::vector<std::string> marks = Column(f.get(), 1);
    const std::vector<int> session = SessionMarks();

    const QPoint below(row3.center().x(), view->height() - 4);
    QVERIFY(!g->indexAt(below).isValid());
    QTest::mouseClick(view, Qt::LeftButton, {}, below);
    QCOMPARE(highlighted(), before);
    QTest::mouseDClick(view, Qt::LeftButton, {}, below);
    QCOMPARE(highlighted(), before);
    std::vector<std::string> toggled = marks;
    toggled[size_t(r - 1)] = marks[size_t(r - 1)] == " " ? "x" : " ";
    QCOMPARE(Column(f.get(), 1), toggled);
    std::vector<int> toggledSession = session;
    toggledSession[size_t(r - 1)] ^= 1;
    QCOMPARE(SessionMarks(), toggledSession);
    if (!afterDeletion) QCOMPARE(r, 3);
    QVERIFY(h.box.Failures().empty());
    QVERIFY(boxes.Calls().empty());
  }

  // A timed run and an interactive load overlap, each with its own client;
  // both complete.
  void runAndInteractiveLoadOverlap() {
    Setup s(kAnnasMails, {{"Lotto <l@spam.example>", "LOTTO fuer Bob"}, {"Dora <d@example.org>", "Hallo Bob"}});
    desktop::TMessageBoxRecorder boxes;
    Window f;
    s.Connect(f.get());
    ClickServer(f.get(), 1);
    f->mm_p_batch->Click();
    f->batch_delInterval->SetValue(1);
    bool runStillBusy = false;
    WhenThen load([] { return AutodeleteBusy; },
                  [&] {
                    ClickServer(f.get(), 0);
                    f->mm_p_HoleMailheader->Click();
                    runStillBusy = AutodeleteBusy;
                  });
    f->mm_p_batchStartStop->Click();
    QVERIFY(mwtest::WaitFor([&] { return load.Done() && f->batch_protokoll->Lines().Count() == 1; }));
    f->mm_p_batchStartStop->Click();
    QVERIFY(runStillBusy);
    QVERIFY(boxes.Calls().empty());
    QCOMPARE(Column(f.get(), 3).size(), kAnnasMails.size());
    QCOMPARE(Column(f.get(), 1), (std::vector<std::string>{" ", "X", " ", " ", " "}));
    QCOMPARE(CountOf(f->batch_protokoll->Lines()[0]), 1);
    QCOMPARE(s.Subjects("bob", "pw-bob"), std::vector<std::string>{"Hallo Bob"});
    QCOMPARE(s.Subjects("anna", "pw-anna").size(), kAnnasMails.size());
  }
};

int main(int argc, char** argv) {
  desktop::TDesktopApplication app(argc, argv);
  platform::Application().Title = kAnwendungsTitel;
  MainWindowPop3Test test;
  return QTest::qExec(&test, argc, argv);
}

#include "MainWindowPop3Test.moc"
