// The main window without a POP3 server: start-up with and without its
// data files, the window's parts, menus and popups, the list editors with
// their save rules and Tab, the size column's digits, and the batch mode's
// states and interval rules.
#include <signal.h>
#include <sys/resource.h>

#include <QClipboard>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QtTest>

#include <regex>

#include "platform/Component.h"
#include "pop3client/Pop3Client.h"
#include "tests/fixtures/ScriptedPeer.h"
#include "tests/window/MainWindowSupport.h"
#include "window/Upop3.h"
#include "window/desktop/Clipboard.h"
#include "window/desktop/Dialogs.h"

using mwtest::ClickServer;
using mwtest::ProgramFolder;
using mwtest::Window;

namespace {

const std::string kListe = mwtest::MailboxListe({"pop.eins.test anna pw1", "pop.zwei.test bernd pw2",
                                                 "pop.drei.test clara pw3"});
const std::string kDefs = "[SUBJECT]\r\n* lotto\r\n[SIZE]\r\nOUT 0..100000\r\n";

void WriteAll(const ProgramFolder& dir) {
  dir.Write("Kelvo_Mailboxen.txt", kListe);
  dir.Write("Kelvo_Spamdefs.txt", kDefs);
  dir.CopyShipped("Kelvo_Info.rtf");
}

std::vector<std::string> Items(const desktop::TMenuItem* parent) {
  std::vector<std::string> out;
  for (int i = 0; i < parent->Count(); ++i) out.push_back(parent->Items(i)->Caption());
  return out;
}

std::string ActionOf(const desktop::TMenuItem* item) { return item->Action() ? item->Action()->Name : ""; }

struct BatchView {
  bool checked;
  bool pmChecked;
  bool pageShown;
  bool itemsEnabled;
  std::string caption;
  std::string status;
  bool timer;
};

BatchView Batch(Tfrm_Emails* f) {
  return {f->mm_p_batch->Checked(),
          f->pm_b_onOff->Checked(),
          f->pg_batch->Visible(),
          f->mm_p_batchStartStop->Enabled() && f->pm_b_startStop->Enabled(),
          f->mm_p_batchStartStop->Caption() == f->pm_b_startStop->Caption() ? f->mm_p_batchStartStop->Caption()
                                                                              : "(items differ)",
          f->lbl_Batchstatus->Caption(),
          f->Timer->Enabled()};
}

#define CHECK_BATCH(f, chk, shown, enabled, cap, stat, tmr)  \
  do {                                                       \
    const BatchView v = Batch(f);                            \
    QCOMPARE(v.checked, chk);                                \
    QCOMPARE(v.pmChecked, chk);                              \
    QCOMPARE(v.pageShown, shown);                            \
    QCOMPARE(v.itemsEnabled, enabled);                       \
    QCOMPARE(v.caption, std::string(cap));                   \
    QCOMPARE(v.status, std::string(stat));                   \
    QCOMPARE(v.timer, tmr);                                  \
  } while (0)

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void cleanup() { Tfrm_Emails::SetMillisecondsPerMinuteForTests(kMillisekundenJeMinute); }

  // ------------------------------------------------------------ start-up

  void startupWithAllFiles() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;

    QVERIFY(boxes.Calls().empty());
    QCOMPARE(f->Caption(), std::string("Mailbox vandolen (POP3)"));
    QCOMPARE(f->OuterWidth(), 902);
    QCOMPARE(f->OuterHeight(), 592);
    QCOMPARE(f->m_Serverliste->Text(), kListe);
    QCOMPARE(f->ListBox1->Items(), (std::vector<std::string>{"pop.eins.test", "pop.zwei.test", "pop.drei.test"}));
    QCOMPARE(f->ListBox1->ItemIndex(), -1);
    QCOMPARE(serverliste.anzahl, 3);
    QCOMPARE(f->M_virdefs->Text(), kDefs);
    QCOMPARE(GUISession.virdefs.size(), size_t(3));  // slot 0 and two rules
    QVERIFY(f->re_Info->Text().find("Batch-Betrieb") != std::string::npos);
    QCOMPARE(mwtest::LinesOf(*f->M_protokoll), (std::vector<std::string>{"M_protokoll", "Start"}));

    // No mailbox, one empty data row, empty panels, batch mode off.
    QCOMPARE(GUISession.aktuell, -1);
    QVERIFY(GUISession.veraltet);
    QCOMPARE(GUISession.anzahl, uint16_t(0));
    QCOMPARE(GUISession.Grid, f->sg_list);
    QCOMPARE(GUISession.Statusleiste, f->statusbar);
    QCOMPARE(BatchSession.aktuell, -1);
    QCOMPARE(f->sg_list->RowCount(), 2);
    QCOMPARE(f->sg_list->ColCount(), 5);
    QCOMPARE(f->sg_list->FixedRows(), 1);
    QCOMPARE(f->sg_list->FixedCols(), 2);
    QCOMPARE(f->sg_list->DefaultRowHeight(), 14);
    for (int c = 0; c < 5; ++c) QCOMPARE(f->sg_list->Cells(c, 1), std::string());
    QCOMPARE(f->statusbar->PanelCount(), 4);
    const int widths[] = {20, 80, 200, 50};
    for (int i = 0; i < 4; ++i) {
      QCOMPARE(f->statusbar->Panels(i).Width(), widths[i]);
      QCOMPARE(f->statusbar->Panels(i).Text(), std::string());
    }
    CHECK_BATCH(f.get(), false, false, false, "Start", "+++ passiv +++", false);
    QCOMPARE(f->batch_delInterval->Value(), 60);
    QCOMPARE(f->SpinEdit1->Value(), 1);
    QCOMPARE(f->l_host->Caption(), std::string("server:"));
    QCOMPARE(f->batch_Servername->Caption(), std::string("Server"));
    QCOMPARE(f->PageControl1->ActivePage(), f->ts_mailList);
    QVERIFY(!AutodeleteBusy);
    QVERIFY(!f->BatchGestartet());
  }

  void startupWithExampleFilesOnly() {
    ProgramFolder dir;
    dir.CopyShipped("Kelvo_Mailboxen_Bsp.txt");
    dir.CopyShipped("Kelvo_Spamdefs_Bsp.txt");
    dir.CopyShipped("Kelvo_Info.rtf");
    const auto before = dir.Names();
    desktop::TMessageBoxRecorder boxes;
    Window f;

    QVERIFY(boxes.Calls().empty());
    QCOMPARE(f->m_Serverliste->Text(), ProgramFolder::Shipped("Kelvo_Mailboxen_Bsp.txt"));
    QCOMPARE(f->M_virdefs->Text(), ProgramFolder::Shipped("Kelvo_Spamdefs_Bsp.txt"));
    QCOMPARE(f->ListBox1->Items(), (std::vector<std::string>{"pop.example.com", "pop.example.net"}));
    QCOMPARE(dir.Names(), before);
    QCOMPARE(mwtest::LinesOf(*f->M_protokoll), (std::vector<std::string>{"M_protokoll", "Start"}));
  }

  // The first failing step ends the start-up; exactly one dialog shows it.
  void startupFailures_data() {
    QTest::addColumn<bool>("mailboxen");
    QTest::addColumn<QString>("defs");  // empty: no definitions file
    QTest::addColumn<bool>("info");
    QTest::addColumn<QString>("dialog");
    QTest::addColumn<bool>("listLoaded");
    QTest::addColumn<bool>("defsShown");
    QTest::addColumn<int>("rules");  // rule table entries after slot 0

    QTest::newRow("no file at all") << false << "" << false << "Kelvo_Mailboxen_Bsp.txt" << false << false << 0;
    QTest::newRow("no definitions") << true << "" << true << "Kelvo_Spamdefs_Bsp.txt" << true << false << 0;
    QTest::newRow("bad size bound") << true << "[SUBJECT]\r\n* lotto\r\n[SIZE]\r\nIN 10..zehn\r\n" << true
                                    << "'ZEHN' ist kein g\xC3\xBCltiger Integerwert." << true << true << 1;
    QTest::newRow("no help text") << true << QString(kDefs.c_str()) << false << "Kelvo_Info.rtf" << true << true
                                  << 2;
  }
  void startupFailures() {
    QFETCH(bool, mailboxen);
    QFETCH(QString, defs);
    QFETCH(bool, info);
    QFETCH(QString, dialog);
    QFETCH(bool, listLoaded);
    QFETCH(bool, defsShown);
    QFETCH(int, rules);
    ProgramFolder dir;
    if (mailboxen) dir.Write("Kelvo_Mailboxen.txt", kListe);
    if (!defs.isEmpty()) dir.Write("Kelvo_Spamdefs.txt", defs.toStdString());
    if (info) dir.CopyShipped("Kelvo_Info.rtf");
    GUISession.virdefs.resize(1);
    serverliste = tpop3list{};  // as the program starts
    desktop::TMessageBoxRecorder boxes;
    Window f;

    QCOMPARE(boxes.Calls().size(), size_t(1));
    const std::string expected = dialog.endsWith(".") ? dialog.toStdString() : mwtest::OpenFailure(dir.File(dialog.toStdString()));
    QCOMPARE(boxes.Calls()[0].Text, expected);
    QCOMPARE(boxes.Calls()[0].Caption, std::string("Mail Vandoler"));
    QVERIFY(boxes.Calls()[0].Icon() == desktop::TMsgIcon::Error);
    QCOMPARE(f->ListBox1->Count(), listLoaded ? 3 : 0);
    QCOMPARE(serverliste.anzahl, listLoaded ? 3 : 0);
    QCOMPARE(f->m_Serverliste->Text().empty(), !listLoaded);
    QCOMPARE(f->M_virdefs->Text().empty(), !defsShown);
    QCOMPARE(int(GUISession.virdefs.size()) - 1, rules);
    QVERIFY(f->re_Info->toPlainText().isEmpty());
    QCOMPARE(mwtest::LinesOf(*f->M_protokoll), std::vector<std::string>{"M_protokoll"});

    // Every command works afterwards; the lists load once the files exist.
    boxes.Clear();
    dir.CopyShipped("Kelvo_Mailboxen_Bsp.txt");
    dir.CopyShipped("Kelvo_Spamdefs_Bsp.txt");
    dir.Write("Kelvo_Spamdefs.txt", kDefs);
    f->mm_d_leseServerliste->Click();
    f->mm_vd_laden->Click();
    QVERIFY(boxes.Calls().empty());
    QCOMPARE(f->ListBox1->Count(), listLoaded ? 3 : 2);
    QCOMPARE(f->M_virdefs->Text(), kDefs);
  }

  // ------------------------------------------------------ window parts

  void componentsAndLayout() {
    ProgramFolder dir;
    WriteAll(dir);
    Window f;
    // Pages in order, three of them without a tab.
    const std::vector<std::pair<desktop::TTabSheet*, std::string>> pages = {
        {f->ts_mailList, "Mail&List"}, {f->Ts_serverliste, "Server"}, {f->Ts_Mailheader, "&Head"},
        {f->ts_Mailbody, "&Body"},     {f->ts_virdefs, "Virdefs"},    {f->TS_Info, "Info"},
        {f->ts_protokoll, "Protokoll"}};
    QCOMPARE(f->PageControl1->PageCount(), int(pages.size()));
    for (size_t i = 0; i < pages.size(); ++i) {
      QCOMPARE(f->PageControl1->Pages(int(i)), pages[i].first);
      QCOMPARE(pages[i].first->Caption(), pages[i].second);
      const bool hidden = pages[i].first == f->Ts_Mailheader || pages[i].first == f->ts_Mailbody ||
                          pages[i].first == f->ts_protokoll;
      QCOMPARE(pages[i].first->TabVisible(), !hidden);
      QCOMPARE(f->PageControl1->isTabVisible(int(i)), !hidden);
    }
    QCOMPARE(f->PageControl1->tabPosition(), QTabWidget::South);
    QCOMPARE(f->pg_batch->PageCount(), 1);
    QCOMPARE(f->TabSheet1->Caption(), std::string("Batch"));

    QCOMPARE(f->kn_DeleteMails->Caption(), std::string("Senden"));
    QCOMPARE(f->kn_DeleteMails->Hint(), std::string("L\xC3\xB6schauftrag senden"));
    QCOMPARE(f->kn_DeleteMails->Action(), f->A_MailheaderLoeschen);
    QCOMPARE(f->StaticText4->Caption(), std::string("L\xC3\xB6schauftrag"));
    QCOMPARE(f->Label3->Caption(), std::string("Zum Markieren f\xC3\xBCr L\xC3\xB6schen Zeile markieren und doppelklicken"));
    QCOMPARE(f->sg_list->Hint(), std::string("Eine Mail markieren und Doppelklicken zum L\xC3\xB6sch-Vormerken"));
    QCOMPARE(f->StaticText1->Caption(), std::string("L\xC3\xB6schintervall in Min"));
    QCOMPARE(f->StaticText2->Caption(), std::string("... oder in Std"));
    QCOMPARE(f->Label4->Caption(), std::string("Gel\xC3\xB6schte Mails:"));
    QCOMPARE(f->Label5->Caption(), std::string("n"));
    QCOMPARE(f->StaticText3->Caption(), std::string("Hilfe und Info"));
    QCOMPARE(f->Label1->Caption(), std::string("Label1"));
    QVERIFY(!f->batch_cb_Start->Visible());
    QVERIFY(!f->kn_UniClear->Visible());
    QVERIFY(!f->kn_clearTonline->Visible());
    QCOMPARE(f->batch_delInterval->MinValue(), 1);
    QCOMPARE(f->batch_delInterval->MaxValue(), 1440);
    QCOMPARE(f->SpinEdit1->MinValue(), 1);
    QCOMPARE(f->SpinEdit1->MaxValue(), 24);
    QCOMPARE(f->Pop3Client1->Port, 110);
    QCOMPARE(f->Pop3Client1->TimeOut, 10000);
    QVERIFY(f->re_head->PlainText());
    QVERIFY(f->re_body->PlainText());
    QCOMPARE(f->Panel1->Width(), 201);
    QCOMPARE(f->Panel2->Height(), 33);
    QCOMPARE(f->Panel4->Height(), 28);
    QCOMPARE(f->ListBox1->Height(), 76);
    QCOMPARE(f->Panel3->Height(), 113);
    QVERIFY(f->lbl_Batchstatus->palette().color(QPalette::WindowText) == QColor(Qt::red));
    QVERIFY(f->m_Serverliste->lineWrapMode() == QPlainTextEdit::NoWrap);
    QVERIFY(f->M_virdefs->lineWrapMode() == QPlainTextEdit::NoWrap);
    QVERIFY(f->M_virdefs->font().fixedPitch());

    // Popups on their controls.
    QCOMPARE(f->ListBox1->PopupMenu(), f->pm_listbox);
    QCOMPARE(f->m_Serverliste->PopupMenu(), f->pm_Serverlist);
    QCOMPARE(f->M_virdefs->PopupMenu(), f->Pm_virlist);
    QCOMPARE(f->sg_list->PopupMenu(), f->Pm_Maillist);
    QCOMPARE(f->Panel1->PopupMenu(), f->Pm_batch);
    QCOMPARE(f->pg_batch->PopupMenu(), f->Pm_batch);
    QCOMPARE(f->Panel3->PopupMenu(), f->Pm_batch);

    // Column widths come from the grid's width at start-up, once more when
    // the window has opened in its frame, and then stay.
    const int startWidth = f->sg_list->Width();
    QVERIFY2(startWidth > 500, "the grid is laid out before the start-up sequence");
    const int startRest = (startWidth - 120) / 2;
    for (int c = 0; c < 5; ++c) QCOMPARE(f->sg_list->ColWidths(c), (std::vector<int>{32, 16, 48, startRest, startRest}[c]));
    f->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.get()));
    mwtest::WaitFor([&] { return f->frameGeometry().size() == QSize(902, 592); });
    const int openWidth = f->sg_list->Width();
    QVERIFY2(openWidth < startWidth, "the frame takes nothing from the client area");
    const int rest = (openWidth - 120) / 2;
    const std::vector<int> expected = {32, 16, 48, rest, rest};
    for (int c = 0; c < 5; ++c) QCOMPARE(f->sg_list->ColWidths(c), expected[c]);
    f->resize(1400, 900);
    mwtest::WaitFor([&] { return f->size() == QSize(1400, 900); });
    QVERIFY(f->sg_list->Width() > startWidth);
    for (int c = 0; c < 5; ++c) QCOMPARE(f->sg_list->ColWidths(c), expected[c]);
  }

  void mainMenuAndPopups() {
    ProgramFolder dir;
    WriteAll(dir);
    Window f;
    const desktop::TMenuItem* bar = f->MainMenu1->Items();
    QCOMPARE(Items(bar), (std::vector<std::string>{"Datei", "Postfach", "Virdefs", " | ", "? Hilfe"}));
    QCOMPARE(Items(f->mm_datei),
             (std::vector<std::string>{"Serverliste Laden", "-", "\xC3\x84nderungen \xC3\xBC" "bernehmen",
                                       "Serverliste Speichern", "-", "&Batch", "Start", "-", "Beenden"}));
    QCOMPARE(Items(f->mm_Postfach),
             (std::vector<std::string>{"Mailheader herunterladen", "Spamcheck", "L\xC3\xB6schbefehl senden", "-",
                                       "Copy Markierungen", "Copy Unmarkierte"}));
    QCOMPARE(Items(f->mm_virlist), (std::vector<std::string>{"Ein&lesen", "&Speichern", "-", "Spam&check"}));
    QCOMPARE(Items(f->pm_listbox->Items()),
             (std::vector<std::string>{"Mailheader herunterladen", "L\xC3\xB6schbefehl senden", "-",
                                       "Serverliste Laden", "\xC3\x84nderungen \xC3\xBC" "bernehmen",
                                       "Serverliste Speichern"}));
    QCOMPARE(Items(f->pm_Serverlist->Items()),
             (std::vector<std::string>{"Serverliste laden", "\xC3\x84nderungen \xC3\xBC" "bernehmen",
                                       "Serverliste speichern"}));
    QCOMPARE(Items(f->Pm_virlist->Items()), (std::vector<std::string>{"Einlesen", "Speichern", "-", "Spamcheck"}));
    QCOMPARE(Items(f->Pm_batch->Items()), (std::vector<std::string>{"&Batch", "Start"}));
    QCOMPARE(Items(f->Pm_Maillist->Items()),
             (std::vector<std::string>{"Header herunterladen", "L\xC3\xB6schbefehl senden", "SpamCheck", "-",
                                       "Copy Markierte", "Copy Unmarkierte"}));
    QCOMPARE(f->pm_ml_Copy->Hint(), std::string("Kopiert die aktuelle Merkierung ins Clipboard"));
    // Captions the items take from their actions.
    QCOMPARE(f->mm_d_quit->OwnCaption(), std::string());
    QCOMPARE(f->mm_p_CopyUnmarkierte->OwnCaption(), std::string());
    QCOMPARE(f->pm_m_CopyUnmarkierte->OwnCaption(), std::string());

    // What every item is bound to.
    const std::vector<std::pair<desktop::TMenuItem*, std::string>> bindings = {
        {f->mm_d_leseServerliste, "a_serverlisteLaden"},
        {f->mm_d_EdiereServerliste, "A_ServerlisteEditierenUebernehmen"},
        {f->mm_d_speserverliste, "A_serverlisteSpeichern"},
        {f->mm_p_batch, "a_batchEnableDisable"},
        {f->mm_p_batchStartStop, ""},
        {f->mm_d_quit, "a_Quit"},
        {f->mm_p_HoleMailheader, "A_mailheaderLaden"},
        {f->mm_p_spamcheck, "a_spamcheck"},
        {f->mm_p_LoescheMarkierte, "A_MailheaderLoeschen"},
        {f->mm_p_CopyMarkers, "a_CopySpamMarkierungen"},
        {f->mm_p_CopyUnmarkierte, "a_CopyNoSpamMarkierungen"},
        {f->mm_vd_laden, "a_Virdefseinlesen"},
        {f->mm_vd_speichern, "a_virdefsSchreiben"},
        {f->mm_vd_Spamcheck, "a_spamcheck"},
        {f->mm_info, "a_ShowInfo"},
        {f->pm_postholen, "A_mailheaderLaden"},
        {f->pm_loescheMails, "A_MailheaderLoeschen"},
        {f->LeseServerliste1, "a_serverlisteLaden"},
        {f->pm_sluebernehmen, "A_ServerlisteEditierenUebernehmen"},
        {f->pm_serverlisteSpeichern, "A_serverlisteSpeichern"},
        {f->pm_sl_serverlisteLaden1, "a_serverlisteLaden"},
        {f->pm_sl_uebernehmen, "A_ServerlisteEditierenUebernehmen"},
        {f->pm_sl_Speichern, "A_serverlisteSpeichern"},
        {f->pm_vd_einlesen, "a_Virdefseinlesen"},
        {f->pm_vd_save, "a_virdefsSchreiben"},
        {f->pm_vd_anwenden, "a_spamcheck"},
        {f->pm_b_onOff, "a_batchEnableDisable"},
        {f->pm_b_startStop, ""},
        {f->pm_ml_headerLaden, "A_mailheaderLaden"},
        {f->pm_ml_sendDelete, "A_MailheaderLoeschen"},
        {f->pm_ml_Spamcheck, "a_spamcheck"},
        {f->pm_ml_Copy, "a_CopySpamMarkierungen"},
        {f->pm_m_CopyUnmarkierte, "a_CopyNoSpamMarkierungen"},
    };
    for (const auto& [item, action] : bindings) {
      QCOMPARE(ActionOf(item), action);
      if (!action.empty()) {
        QVERIFY2(item->Action()->OnExecute, item->Name.c_str());
        QVERIFY(item->Enabled());
      }
    }

    // The action list: captions, and which actions have a handler.
    const std::vector<std::tuple<std::string, std::string, bool>> actions = {
        {"a_serverlisteLaden", "serverlisteLaden", true},
        {"A_ServerlisteEditierenUebernehmen", "ServerlisteEditieren", true},
        {"A_serverlisteSpeichern", "serverlisteSpeichern", true},
        {"A_mailheaderLaden", "mailheaderLaden", true},
        {"a_mailheaderMarkieren", "mailheaderMarkieren", false},
        {"A_MailheaderLoeschen", "MailheaderLoeschen", true},
        {"a_serverlistToStringgrid", "a_serverlistToStringgrid", false},
        {"a_servereinstellen", "a_servereinstellen", true},
        {"A_ServerlisteEditierenAnfang", "A_ServerlisteEditierenAnfang", false},
        {"a_autodelete", "Autodelete", true},
        {"a_startBatch", "a_startBatch", true},
        {"A_stopBatch", "A_stopBatch", true},
        {"a_Virdefseinlesen", "a_Virdefseinlesen", true},
        {"a_virdefsSchreiben", "a_virdefsSchreiben", true},
        {"a_spamcheck", "a_spamcheck", true},
        {"a_ShowInfo", "a_ShowInfo", true},
        {"a_Quit", "Beenden", true},
        {"a_batchEnableDisable", "Batch An/Aus", true},
        {"a_CopySpamMarkierungen", "a_CopySpamMarkierungen", true},
        {"a_CopyNoSpamMarkierungen", "Copy Unmarkierte", true},
    };
    QCOMPARE(f->ActionList->Count(), int(actions.size()));
    for (int i = 0; i < f->ActionList->Count(); ++i) {
      const auto& [name, caption, handled] = actions[size_t(i)];
      QCOMPARE(f->ActionList->Actions(i)->Name, name);
      QCOMPARE(f->ActionList->Actions(i)->Caption(), caption);
      QCOMPARE(bool(f->ActionList->Actions(i)->OnExecute), handled);
    }

    // The divider cannot be chosen.
    QVERIFY(!f->N6->Enabled());
    QVERIFY(!f->N6->QtAction()->isEnabled());
    QCOMPARE(f->N6->Count(), 0);
    QCOMPARE(f->mm_info->Count(), 0);

    // "? Hilfe" brings the help page to the front.
    f->mm_info->Click();
    QCOMPARE(f->PageControl1->ActivePage(), f->TS_Info);
    f->N6->Click();
    QCOMPARE(f->PageControl1->ActivePage(), f->TS_Info);
  }

  // No command brings the log page to the front.
  void noCommandShowsTheLogPage() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    std::vector<desktop::TMenuItem*> all;
    std::function<void(desktop::TMenuItem*)> collect = [&](desktop::TMenuItem* m) {
      for (int i = 0; i < m->Count(); ++i) {
        all.push_back(m->Items(i));
        collect(m->Items(i));
      }
    };
    for (auto* root : {f->MainMenu1->Items(), f->pm_listbox->Items(), f->pm_Serverlist->Items(),
                       f->Pm_virlist->Items(), f->Pm_batch->Items(), f->Pm_Maillist->Items()})
      collect(root);
    ClickServer(f.get(), 0);
    for (auto* item : all) {
      item->Click();
      QVERIFY2(f->PageControl1->ActivePage() != f->ts_protokoll, item->Name.c_str());
    }
    f->A_stopBatchExecute(nullptr);
  }

  void quitStopsTheBatchAndEndsTheLoop() {
    ProgramFolder dir;
    WriteAll(dir);
    Window f;
    ClickServer(f.get(), 1);
    f->mm_p_batch->Click();
    f->mm_p_batchStartStop->Click();
    CHECK_BATCH(f.get(), true, true, true, "Stop!", "+++ wartet +++", true);
    platform::Application().Terminated = false;
    f->mm_d_quit->Click();
    QVERIFY(platform::Application().Terminated);
    CHECK_BATCH(f.get(), true, true, true, "Start!", "+++ passiv +++", false);
    QVERIFY(!f->BatchGestartet());
  }

  void closeBoxEndsTheLoopWithoutTheBatchStop() {
    ProgramFolder dir;
    WriteAll(dir);
    Window f;
    ClickServer(f.get(), 1);
    f->mm_p_batch->Click();
    f->mm_p_batchStartStop->Click();
    f->show();
    platform::Application().Terminated = false;
    f->close();
    QVERIFY(platform::Application().Terminated);
    QVERIFY(f->isVisible());  // freed by the program after the loop
    QCOMPARE(f->lbl_Batchstatus->Caption(), std::string("+++ wartet +++"));
  }

  // The window's outer size, frame and title bar included, is 902 x 592,
  // centred on the screen as a whole; the controls fill the client area
  // that remains inside the frame.
  void outerSizeIsTheFrame_data() {
    QTest::addColumn<bool>("frameAfterShow");
    QTest::newRow("frame known when shown") << false;
    // A desktop may frame the window only after it has been placed (an X11
    // window manager does so when it takes the window over).
    QTest::newRow("frame comes after showing") << true;
  }

  void outerSizeIsTheFrame() {
    QFETCH(bool, frameAfterShow);
    ProgramFolder dir;
    WriteAll(dir);
    Window f;
    auto outer = [&] { return f->frameGeometry().size(); };
    if (frameAfterShow) {
      f->setWindowFlag(Qt::FramelessWindowHint, true);
      f->show();
      QVERIFY(QTest::qWaitForWindowExposed(f.get()));
      QCOMPARE(outer(), QSize(902, 592));
      // Shown again in a new native window, which now gets a frame.
      f->hide();
      f->windowHandle()->destroy();
      f->setWindowFlag(Qt::FramelessWindowHint, false);
    }
    f->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.get()));
    // The frame comes from the desktop, possibly some time after showing.
    mwtest::WaitFor([&] { return !f->windowHandle()->frameMargins().isNull() && outer() == QSize(902, 592); });
    const QMargins frame = f->windowHandle()->frameMargins();
    QVERIFY2(!frame.isNull(), "the platform draws no frame: the test cannot tell outer from inner size");
    QCOMPARE(outer(), QSize(902, 592));
    QCOMPARE(f->size(), QSize(902, 592).shrunkBy(frame));
    const QRect avail = f->screen()->availableGeometry();
    QVERIFY2(std::abs(f->frameGeometry().center().x() - avail.center().x()) <= 1 &&
                 std::abs(f->frameGeometry().center().y() - avail.center().y()) <= 1,
             qPrintable(QString("frame at %1,%2").arg(f->frameGeometry().x()).arg(f->frameGeometry().y())));
    // The layout follows the client area.
    const QWidget* client = f->Client();
    QCOMPARE(f->statusbar->Top() + f->statusbar->Height(), client->height());
    QCOMPARE(f->PageControl1->Left() + f->PageControl1->Width(), client->width());
    QCOMPARE(f->Panel1->Width(), 201);
    // The subject and sender columns share the grid's width as it is now.
    QCOMPARE(f->sg_list->ColWidths(3), (f->sg_list->Width() - 120) / 2);
    QCOMPARE(f->sg_list->ColWidths(4), (f->sg_list->Width() - 120) / 2);

    // A size the user gives the window stays, frame or not.
    f->resize(700, 500);
    mwtest::WaitFor([&] { return f->size() == QSize(700, 500); });
    QCOMPARE(f->size(), QSize(700, 500));
  }

  // ------------------------------------------------ the two list editors

  void savingKeepsTheLineThresholds_data() {
    QTest::addColumn<bool>("mailboxList");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("written");
    QTest::newRow("list, two lines") << true << "[MAILBOXEN]\r\na b c" << false;
    QTest::newRow("list, two lines and a break") << true << "[MAILBOXEN]\r\na b c\r\n" << false;
    QTest::newRow("list, three lines") << true << "; x\r\n[MAILBOXEN]\r\nneu.test u p" << true;
    QTest::newRow("definitions, one line") << false << "[SUBJECT]\r\n" << false;
    QTest::newRow("definitions, two lines") << false << "[SUBJECT]\r\n* werbung" << true;
  }
  void savingKeepsTheLineThresholds() {
    QFETCH(bool, mailboxList);
    QFETCH(QString, text);
    QFETCH(bool, written);
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    const std::string name = mailboxList ? "Kelvo_Mailboxen.txt" : "Kelvo_Spamdefs.txt";
    const std::string old = dir.Read(name);
    desktop::TMemo* memo = mailboxList ? f->m_Serverliste : f->M_virdefs;
    memo->SetText(text.toStdString());
    (mailboxList ? f->pm_sl_Speichern : f->pm_vd_save)->Click();

    QVERIFY(boxes.Calls().empty());
    QCOMPARE(dir.Read(name), written ? text.toStdString() : old);
    if (mailboxList) {
      // Saving applies the list; not saving applies nothing.
      const std::vector<std::string> expected =
          written ? std::vector<std::string>{"neu.test"}
                  : std::vector<std::string>{"pop.eins.test", "pop.zwei.test", "pop.drei.test"};
      QCOMPARE(f->ListBox1->Items(), expected);
    } else {
      QCOMPARE(GUISession.virdefs.size(), written ? size_t(2) : size_t(3));
    }
  }

  // The examples are written as the programs write their files, and the
  // build puts them beside the programs unchanged.
  void examplesShipWithCrLf() {
    for (const char* name : {"Kelvo_Mailboxen_Bsp.txt", "Kelvo_Spamdefs_Bsp.txt"}) {
      const std::string shipped = ProgramFolder::Shipped(name);
      QVERIFY2(shipped.size() > 2 && shipped.compare(shipped.size() - 2, 2, "\r\n") == 0, name);
      for (size_t i = shipped.find_first_of("\r\n"); i != std::string::npos; i = shipped.find_first_of("\r\n", i + 2))
        QVERIFY2(shipped.compare(i, 2, "\r\n") == 0, qPrintable(QString("%1 at byte %2").arg(name).arg(i)));
      QCOMPARE(mwtest::ReadFile(platform::ProgramFolder() + name), shipped);
    }
  }

  // Saving after loading the examples creates the real files; the examples
  // stay as they were. A new mailbox list is readable by its owner only.
  void savingNeverWritesTheExamples() {
    ProgramFolder dir;
    dir.CopyShipped("Kelvo_Mailboxen_Bsp.txt");
    dir.CopyShipped("Kelvo_Spamdefs_Bsp.txt");
    dir.CopyShipped("Kelvo_Info.rtf");
    desktop::TMessageBoxRecorder boxes;
    Window f;
    f->mm_d_speserverliste->Click();
    f->mm_vd_speichern->Click();
    QVERIFY(boxes.Calls().empty());
    QCOMPARE(dir.Read("Kelvo_Mailboxen.txt"), ProgramFolder::Shipped("Kelvo_Mailboxen_Bsp.txt"));
    QCOMPARE(dir.Read("Kelvo_Spamdefs.txt"), ProgramFolder::Shipped("Kelvo_Spamdefs_Bsp.txt"));
    QCOMPARE(dir.Read("Kelvo_Mailboxen_Bsp.txt"), ProgramFolder::Shipped("Kelvo_Mailboxen_Bsp.txt"));
    QCOMPARE(dir.Read("Kelvo_Spamdefs_Bsp.txt"), ProgramFolder::Shipped("Kelvo_Spamdefs_Bsp.txt"));
    QCOMPARE(dir.Mode("Kelvo_Mailboxen.txt"), 0600u);
    // From now on the real file is what loads.
    f->m_Serverliste->SetText(mwtest::MailboxListe({"eigener.test u p"}));
    f->pm_serverlisteSpeichern->Click();
    f->m_Serverliste->SetText("");
    f->LeseServerliste1->Click();
    QCOMPARE(f->m_Serverliste->Text(), mwtest::MailboxListe({"eigener.test u p"}));
    QCOMPARE(dir.Mode("Kelvo_Mailboxen.txt"), 0600u);
  }

  // The file holds exactly the memo's bytes: no line end added, and lines
  // the user did not touch keep their code page.
  void savedFileIsByteIdentical() {
    ProgramFolder dir;
    const std::string latin = "; Gr\xFC\xDF" "e aus K\xF6ln\r\n[MAILBOXEN]\r\npop.k\xF6ln.test j\xFC" "rgen w\xE4rter";
    dir.Write("Kelvo_Mailboxen.txt", latin);
    dir.Write("Kelvo_Spamdefs.txt", kDefs);
    dir.CopyShipped("Kelvo_Info.rtf");
    Window f;
    QCOMPARE(f->m_Serverliste->Text(), latin);
    f->mm_d_speserverliste->Click();
    QCOMPARE(dir.Read("Kelvo_Mailboxen.txt"), latin);
    f->m_Serverliste->Lines().Add("zweiter.test a b");
    f->mm_d_speserverliste->Click();
    QCOMPARE(dir.Read("Kelvo_Mailboxen.txt"), f->m_Serverliste->Text());
    QCOMPARE(dir.Read("Kelvo_Mailboxen.txt").substr(0, latin.size()), latin);
    QCOMPARE(f->ListBox1->Count(), 2);
  }

  // Lists written elsewhere with LF alone: saved unchanged they keep their
  // bytes; edited on their pages, they are saved with CR LF between lines.
  void editedListsAreSavedWithCrLf() {
    ProgramFolder dir;
    const std::string liste = "; Liste\n[MAILBOXEN]\npop.eins.test anna pw1\n";
    const std::string defs = "[SUBJECT]\n* lotto\n";
    dir.Write("Kelvo_Mailboxen.txt", liste);
    dir.Write("Kelvo_Spamdefs.txt", defs);
    dir.CopyShipped("Kelvo_Info.rtf");
    Window f;
    f->mm_d_speserverliste->Click();
    f->mm_vd_speichern->Click();
    QCOMPARE(dir.Read("Kelvo_Mailboxen.txt"), liste);
    QCOMPARE(dir.Read("Kelvo_Spamdefs.txt"), defs);

    // The user types at the end of each text: a new line, then a rule.
    for (desktop::TMemo* memo : {f->m_Serverliste, f->M_virdefs}) {
      memo->moveCursor(QTextCursor::End);
      QTest::keyClicks(memo, memo == f->M_virdefs ? "< neu" : "pop.zwei.test bernd pw2");
      QTest::keyClick(memo, Qt::Key_Return);
    }
    f->mm_d_speserverliste->Click();
    f->mm_vd_speichern->Click();
    QCOMPARE(dir.Read("Kelvo_Mailboxen.txt"),
             std::string("; Liste\r\n[MAILBOXEN]\r\npop.eins.test anna pw1\r\npop.zwei.test bernd pw2\r\n"));
    QCOMPARE(dir.Read("Kelvo_Spamdefs.txt"), std::string("[SUBJECT]\r\n* lotto\r\n< neu\r\n"));
    QCOMPARE(f->ListBox1->Count(), 2);
    QCOMPARE(GUISession.virdefs.size(), size_t(3));
  }

  // A save that fails part-way leaves the old file as it was, shows the
  // failure and applies nothing.
  void failingSaveLeavesTheOldFile() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    const std::string big = kListe + std::string(4096, ';') + "\r\nneu.test u p\r\n";
    f->m_Serverliste->SetText(big);
    f->M_virdefs->SetText("[SUBJECT]\r\n" + std::string(4096, 'x'));

    // Files may grow to no more than 1 KiB while the saves run.
    struct rlimit old {};
    getrlimit(RLIMIT_FSIZE, &old);
    struct rlimit small = old;
    small.rlim_cur = 1024;
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    f->mm_d_speserverliste->Click();
    f->mm_vd_speichern->Click();
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);

    QCOMPARE(boxes.Texts(), (std::vector<std::string>{
                                "Datei " + dir.File("Kelvo_Mailboxen.txt") + " kann nicht erstellt werden.",
                                "Datei " + dir.File("Kelvo_Spamdefs.txt") + " kann nicht erstellt werden."}));
    QCOMPARE(boxes.Calls()[0].Caption, std::string("Mail Vandoler"));
    QCOMPARE(dir.Read("Kelvo_Mailboxen.txt"), kListe);
    QCOMPARE(dir.Read("Kelvo_Spamdefs.txt"), kDefs);
    QCOMPARE(dir.Names(), (std::vector<std::string>{"Kelvo_Info.rtf", "Kelvo_Mailboxen.txt", "Kelvo_Spamdefs.txt"}));
    QCOMPARE(f->ListBox1->Count(), 3);
    QCOMPARE(GUISession.virdefs.size(), size_t(3));
  }

  void loadingWithoutAnyFileKeepsTheMemo() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    std::filesystem::remove(dir.File("Kelvo_Mailboxen.txt"));
    std::filesystem::remove(dir.File("Kelvo_Spamdefs.txt"));
    f->m_Serverliste->SetText(mwtest::MailboxListe({"bearbeitet.test u p"}));
    f->mm_d_leseServerliste->Click();
    f->pm_vd_einlesen->Click();
    QCOMPARE(boxes.Texts(), (std::vector<std::string>{mwtest::OpenFailure(dir.File("Kelvo_Mailboxen_Bsp.txt")),
                                                     mwtest::OpenFailure(dir.File("Kelvo_Spamdefs_Bsp.txt"))}));
    QCOMPARE(f->m_Serverliste->Text(), mwtest::MailboxListe({"bearbeitet.test u p"}));
    QCOMPARE(f->ListBox1->Count(), 3);  // nothing applied
    QCOMPARE(f->M_virdefs->Text(), kDefs);
  }

  // A size bound that is no number: "Ein&lesen" has filled the page,
  // "&Speichern" has written the file, "Spamcheck" does not check.
  void badSizeBoundInTheDefinitions() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    const std::string bad = "[SUBJECT]\r\n* lotto\r\n[SIZE]\r\nIN 1..viel\r\n";
    dir.Write("Kelvo_Spamdefs.txt", bad);
    f->mm_vd_laden->Click();
    QCOMPARE(f->M_virdefs->Text(), bad);
    QCOMPARE(GUISession.virdefs.size(), size_t(2));  // the rule before the bad line
    f->M_virdefs->SetText(bad + "; neu\r\n");
    f->mm_vd_speichern->Click();
    QCOMPARE(dir.Read("Kelvo_Spamdefs.txt"), bad + "; neu\r\n");

    // A listed message that only the size rule would keep unmarked.
    ClickServer(f.get(), 0);
    GUISession.anzahl = 1;
    GUISession.summaries.resize(2);
    GUISession.headers.resize(2);
    GUISession.summaries[1] = tMailSummary{1, 500, 0, "a@b.test", "Ihr LOTTO-Gewinn"};
    f->sg_list->SetCells(1, 1, "?");
    f->mm_p_spamcheck->Click();
    QCOMPARE(f->sg_list->Cells(1, 1), std::string("?"));
    QCOMPARE(int(GUISession.summaries[1].spam), 0);
    const std::string conv = "'VIEL' ist kein g\xC3\xBCltiger Integerwert.";
    QCOMPARE(boxes.Texts(), (std::vector<std::string>{conv, conv, conv}));
  }

  // Applying an empty list: no mailboxes, no selection, and the commands
  // that need a mailbox do nothing while the grid keeps its rows.
  void applyingAnEmptyList() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    ClickServer(f.get(), 2);
    QCOMPARE(f->l_host->Caption(), std::string("Server: pop.drei.test"));
    GUISession.anzahl = 1;
    GUISession.summaries.resize(2);
    GUISession.headers.resize(2);
    GUISession.summaries[1] = tMailSummary{1, 500, 0, "a@b.test", "Hallo"};
    GUISession.veraltet = false;
    f->sg_list->SetCells(1, 1, " ");
    f->sg_list->SetCells(3, 1, "Hallo");
    f->m_Serverliste->SetText("");
    f->mm_d_EdiereServerliste->Click();
    QCOMPARE(f->ListBox1->Count(), 0);
    QCOMPARE(serverliste.anzahl, 0);
    QCOMPARE(GUISession.aktuell, -1);
    QCOMPARE(f->l_host->Caption(), std::string("Server: pop.drei.test"));

    const int paints = f->statusbar->PaintCount();
    std::vector<std::string> panels;
    f->statusbar->OnPanelText = [&](int i, const std::string& t) { panels.push_back(std::to_string(i) + t); };
    f->sg_list->SelectRows(1, 1);
    f->sg_list->DblClick();
    f->mm_p_HoleMailheader->Click();
    f->kn_DeleteMails->Click();
    f->mm_p_spamcheck->Click();
    QVERIFY(boxes.Calls().empty());
    QVERIFY(panels.empty());
    QCOMPARE(f->statusbar->PaintCount(), paints);
    QCOMPARE(f->sg_list->Cells(1, 1), std::string(" "));
    QCOMPARE(f->sg_list->Cells(3, 1), std::string("Hallo"));
    QCOMPARE(int(GUISession.summaries[1].spam), 0);
    f->statusbar->OnPanelText = nullptr;
  }

  // Selecting and then sending before any load does nothing: no connection
  // attempt, no box, no panel text.
  void deleteBeforeLoadDoesNothing() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    f->PageControl1->SetActivePage(f->ts_virdefs);
    ClickServer(f.get(), 1);
    QCOMPARE(GUISession.aktuell, 1);
    QCOMPARE(GUISession.konto.host, std::string("pop.zwei.test"));
    QCOMPARE(f->l_host->Caption(), std::string("Server: pop.zwei.test"));
    QCOMPARE(f->PageControl1->ActivePage(), f->ts_mailList);
    std::vector<std::string> panels;
    f->statusbar->OnPanelText = [&](int i, const std::string& t) { panels.push_back(std::to_string(i) + t); };
    f->mm_p_LoescheMarkierte->Click();
    f->pm_loescheMails->Click();
    f->kn_DeleteMails->Click();
    QVERIFY(boxes.Calls().empty());
    QVERIFY(panels.empty());
    f->statusbar->OnPanelText = nullptr;
    // Without a selection a click in the list box changes nothing.
    f->ListBox1->SetItemIndex(-1);
    f->ListBox1->Click();
    QCOMPARE(GUISession.aktuell, 1);
  }

  // Real mouse clicks on the list: the left button selects, the right button
  // (which opens the list's popup) leaves selection and highlight alone, so
  // the popup and "&Batch" act on the mailbox the label names.
  void rightClickKeepsTheSelection() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    f->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.get()));
    desktop::TListBox* list = f->ListBox1;
    auto itemCentre = [&](int i) { return list->visualItemRect(list->item(i)).center(); };

    // Nothing selected yet: a right click selects nothing either.
    QTest::mouseClick(list->viewport(), Qt::RightButton, {}, itemCentre(1));
    QCOMPARE(list->ItemIndex(), -1);
    QCOMPARE(GUISession.aktuell, -1);
    QCOMPARE(f->l_host->Caption(), std::string("server:"));

    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, itemCentre(0));
    QCOMPARE(list->ItemIndex(), 0);
    QCOMPARE(f->l_host->Caption(), std::string("Server: pop.eins.test"));

    QTest::mouseClick(list->viewport(), Qt::RightButton, {}, itemCentre(1));
    QTest::mouseDClick(list->viewport(), Qt::RightButton, {}, itemCentre(2));
    QTest::mousePress(list->viewport(), Qt::RightButton, {}, itemCentre(1));
    QTest::mouseMove(list->viewport(), itemCentre(2));
    QTest::mouseRelease(list->viewport(), Qt::RightButton, {}, itemCentre(2));
    QCOMPARE(list->ItemIndex(), 0);
    QCOMPARE(list->currentRow(), 0);
    QCOMPARE(list->selectedItems(), QList<QListWidgetItem*>{list->item(0)});
    QCOMPARE(GUISession.aktuell, 0);
    QCOMPARE(GUISession.konto.host, std::string("pop.eins.test"));
    QCOMPARE(f->l_host->Caption(), std::string("Server: pop.eins.test"));
    f->pm_b_onOff->Click();
    QCOMPARE(f->batch_Servername->Caption(), std::string("pop.eins.test"));
    QCOMPARE(BatchSession.konto.host, std::string("pop.eins.test"));
    f->pm_b_onOff->Click();

    // The left button still moves the selection.
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, itemCentre(2));
    QCOMPARE(list->ItemIndex(), 2);
    QCOMPARE(f->l_host->Caption(), std::string("Server: pop.drei.test"));
    QVERIFY(boxes.Calls().empty());
  }

  void copyHandlersPutTheMarksOnTheClipboard() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    desktop::ClipboardSetText("vorher");
    f->mm_p_CopyMarkers->Click();  // empty list: nothing happens
    QCOMPARE(desktop::ClipboardText(), std::string("vorher"));
    GUISession.anzahl = 2;
    GUISession.summaries.resize(3);
    GUISession.headers.resize(3);
    GUISession.summaries[1] = tMailSummary{1, 700, 1, "spam@x.test", "Gewinn"};
    GUISession.summaries[2] = tMailSummary{2, 800, 0, "anna@y.test", "Hallo"};
    f->pm_ml_Copy->Click();
    const std::string marked = desktop::ClipboardText();
    QVERIFY(marked.find("Gewinn") != std::string::npos);
    QVERIFY(marked.find("Hallo") == std::string::npos);
    f->pm_m_CopyUnmarkierte->Click();
    const std::string unmarked = desktop::ClipboardText();
    QVERIFY(unmarked.find("Hallo") != std::string::npos);
    QVERIFY(unmarked.find("Gewinn") == std::string::npos);
    // A clipboard held elsewhere: the default error dialog, contents kept.
    auto previous = desktop::SetClipboardOpenHook([] { return false; });
    f->mm_p_CopyUnmarkierte->Click();
    desktop::SetClipboardOpenHook(previous);
    QCOMPARE(boxes.Texts(), std::vector<std::string>{"Zwischenablage kann nicht ge\xC3\xB6" "ffnet werden."});
    QCOMPARE(desktop::ClipboardText(), unmarked);
    GUISession.anzahl = 0;
  }

  // An export of messages whose headers come in different code pages, pasted
  // into the definitions page and saved: each line keeps the bytes of its
  // header, and the saved rules mark the same messages again.
  void mixedExportPastedAndSavedMarksTheSameMessages() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    const std::string utf8Subject = " Gr\xc3\xbc\xc3\x9f" "e aus K\xc3\xb6ln";
    const std::string utf8From = " J\xc3\xbcrgen <j@x.test>";
    const std::string latinSubject = " Gr\xfc\xdf" "e vom Gewinnspiel";
    const std::string latinFrom = " M\xfcller <m@y.test>";
    ClickServer(f.get(), 0);
    GUISession.anzahl = 3;
    GUISession.summaries.resize(4);
    GUISession.headers.resize(4);
    GUISession.summaries[1] = tMailSummary{1, 700, 0, utf8From, utf8Subject};
    GUISession.summaries[2] = tMailSummary{2, 800, 0, latinFrom, latinSubject};
    GUISession.summaries[3] = tMailSummary{3, 900, 1, " anna@z.test", " Hallo"};
    f->mm_p_CopyUnmarkierte->Click();
    QCOMPARE(QGuiApplication::clipboard()->text(),
             QString::fromUtf8("[Subject]\r\n<  Grüße aus Köln\r\n<  Grüße vom Gewinnspiel\r\n\r\n"
                               "[From]\r\n<  Jürgen <j@x.test>\r\n<  Müller <m@y.test>\r\n\r\n"
                               "[Size]\r\nIN 700..700\r\nIN 800..800\r\n\r\n"));

    // The user replaces the definitions by the export and saves them.
    f->PageControl1->SetActivePage(f->ts_virdefs);
    f->M_virdefs->selectAll();
    QTest::keyClick(f->M_virdefs, Qt::Key_V, Qt::ControlModifier);
    f->mm_vd_speichern->Click();
    QVERIFY(boxes.Calls().empty());
    const std::string saved = dir.Read("Kelvo_Spamdefs.txt");
    QCOMPARE(saved, "[Subject]\r\n< " + utf8Subject + "\r\n< " + latinSubject + "\r\n\r\n[From]\r\n< " + utf8From +
                        "\r\n< " + latinFrom + "\r\n\r\n[Size]\r\nIN 700..700\r\nIN 800..800\r\n\r\n");

    // Read back from the file, only the copied messages are marked; each
    // of its subject and sender rules alone marks its message.
    f->mm_vd_laden->Click();
    QCOMPARE(f->M_virdefs->Text(), saved);
    for (int i = 1; i <= 3; ++i) QCOMPARE(IsSpam(GUISession, i), i != 3);
    for (const std::string& line : {utf8Subject, latinSubject, utf8From, latinFrom}) {
      const bool subject = line == utf8Subject || line == latinSubject;
      VirdefsUebernehmen(GUISession, platform::TStringList(platform::SplitLines(std::string(subject ? "[SUBJECT]" : "[FROM]") + "\r\n< " + line)));
      const int expected = line == utf8Subject || line == utf8From ? 1 : 2;
      for (int i = 1; i <= 3; ++i) QCOMPARE(IsSpam(GUISession, i), i == expected);
    }
    GUISession.anzahl = 0;
  }

  // Clipboard text this program's bytes do not stand behind, pasted over
  // the definitions and saved: bytes of ours that no longer show the
  // clipboard's text (another program changed the text and kept them) are
  // not used, and plain text from another program is written in the code
  // page of the file it goes into.
  void foreignClipboardTextPastedAndSaved_data() {
    QTest::addColumn<QByteArray>("file");    // the definitions before
    QTest::addColumn<QByteArray>("ours");    // put there by this program first; empty: nothing
    QTest::addColumn<QString>("text");       // the clipboard's text then
    QTest::addColumn<QByteArray>("saved");
    QTest::newRow("our bytes under a text another program changed")
        << QByteArray::fromStdString(kDefs) << QByteArray("[From]\r\n< M\xfcller <m@y.test>\r\n< Gewinn\r\n")
        << QString::fromUtf8("[From]\n< Müller <m@y.test>\n< Gewinnspiel\n")
        << QByteArray("[From]\r\n< M\xc3\xbcller <m@y.test>\r\n< Gewinnspiel\r\n");
    QTest::newRow("plain text from another program into a Windows-1252 file")
        << QByteArray("[FROM]\r\n* m\xfcller\r\n") << QByteArray()
        << QString::fromUtf8("[SUBJECT]\n< Grüße aus Köln\n")
        << QByteArray("[SUBJECT]\r\n< Gr\xfc\xdf" "e aus K\xf6ln\r\n");
  }

  void foreignClipboardTextPastedAndSaved() {
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, ours);
    QFETCH(QString, text);
    QFETCH(QByteArray, saved);
    ProgramFolder dir;
    WriteAll(dir);
    dir.Write("Kelvo_Spamdefs.txt", file.toStdString());
    desktop::TMessageBoxRecorder boxes;
    Window f;
    auto* data = new QMimeData;
    if (!ours.isEmpty()) {
      desktop::ClipboardSetText(ours.toStdString());
      const QMimeData* put = QGuiApplication::clipboard()->mimeData();
      for (const QString& format : put->formats()) data->setData(format, put->data(format));
    }
    data->setText(text);
    QGuiApplication::clipboard()->setMimeData(data);

    f->PageControl1->SetActivePage(f->ts_virdefs);
    f->M_virdefs->selectAll();
    QTest::keyClick(f->M_virdefs, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(f->M_virdefs->toPlainText(), text);
    f->mm_vd_speichern->Click();
    QVERIFY(boxes.Calls().empty());
    QCOMPARE(QByteArray::fromStdString(dir.Read("Kelvo_Spamdefs.txt")), saved);
  }

  // Tab and Shift+Tab in every memo and text view of the window, on its
  // page, move the focus on and back as in the other controls and change no
  // text: typed on the "Server" page between a mailbox line's fields, tabs
  // went into the saved list. No editor of the window is told to take tabs.
  void tabMovesTheFocusOutOfEveryEditor() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    f->mm_p_batch->Click();  // shows the batch page with its protocol
    f->show();
    f->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(f.get()));
    QStringList names;
    std::vector<QAbstractScrollArea*> editors;
    for (QAbstractScrollArea* e : f->findChildren<QAbstractScrollArea*>()) {
      if (!qobject_cast<QPlainTextEdit*>(e) && !qobject_cast<QTextEdit*>(e)) continue;
      editors.push_back(e);
      names << QString::fromStdString(dynamic_cast<desktop::TControl*>(e)->Name);
    }
    names.sort();
    QCOMPARE(names, (QStringList{"M_protokoll", "M_virdefs", "batch_protokoll", "m_Serverliste", "re_Info",
                                 "re_body", "re_head"}));
    auto textOf = [](QAbstractScrollArea* e) {
      if (auto* plain = qobject_cast<QPlainTextEdit*>(e)) return plain->toPlainText();
      return qobject_cast<QTextEdit*>(e)->toPlainText();
    };
    for (QAbstractScrollArea* e : editors) {
      const QString name = QString::fromStdString(dynamic_cast<desktop::TControl*>(e)->Name);
      for (int i = 0; i < f->PageControl1->PageCount(); ++i)
        if (f->PageControl1->Pages(i)->isAncestorOf(e)) f->PageControl1->SetActivePage(f->PageControl1->Pages(i));
      const QString before = textOf(e);
      QWidget* next = nullptr;
      for (const auto& [key, modifiers] : {std::pair{Qt::Key_Tab, Qt::KeyboardModifiers()},
                                           std::pair{Qt::Key_Backtab, Qt::KeyboardModifiers(Qt::ShiftModifier)}}) {
        e->setFocus();
        QVERIFY2(QApplication::focusWidget() == e, qPrintable(name));
        QTest::keyClick(e, key, modifiers);
        QWidget* now = QApplication::focusWidget();
        QVERIFY2(now != nullptr && now != e, qPrintable(name));
        // Shift+Tab goes the other way.
        if (key == Qt::Key_Tab)
          next = now;
        else
          QVERIFY2(now != next, qPrintable(name));
        QCOMPARE(textOf(e), before);
      }
    }
    QVERIFY(boxes.Calls().empty());
  }

  // Tabs the user pastes are the user's text: a mailbox line pasted with
  // tabs between its fields is saved with them, byte for byte.
  void pastedTabsAreKeptAndSaved() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    QGuiApplication::clipboard()->setText(QStringLiteral("pop-b.lab\tbob\tbobpass"));
    f->PageControl1->SetActivePage(f->Ts_serverliste);
    f->m_Serverliste->moveCursor(QTextCursor::End);
    QTest::keyClick(f->m_Serverliste, Qt::Key_V, Qt::ControlModifier);
    f->mm_d_speserverliste->Click();
    QVERIFY(boxes.Calls().empty());
    QCOMPARE(dir.Read("Kelvo_Mailboxen.txt"), kListe + "pop-b.lab\tbob\tbobpass");
  }

  // The size column (48 px) shows every size up to seven digits whole, in
  // the face the grid really draws with: a 179 KB message must not read as
  // a 9 KB one. A longer size keeps its leading digits and is cut at its
  // end. The cells keep their "%10d" texts.
  void sizeColumnShowsSevenDigitsWhole() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    f->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.get()));
    const std::vector<int32_t> sizes = {0, 99999, 179470, 1000000, 9999999, 10000000, 2147483647};
    const size_t n = sizes.size();
    GUISession.anzahl = static_cast<uint16_t>(n);
    GUISession.summaries.assign(n + 1, tMailSummary{});
    GUISession.headers.assign(n + 1, platform::TStringList());
    for (size_t i = 1; i <= n; ++i)
      GUISession.summaries[i] = tMailSummary{int32_t(i), sizes[i - 1], 0, " a@x.test", " Betreff"};
    GUISetRowCount(GUISession, int(n));
    GUIShowAllRows(GUISession);

    desktop::TStringGrid* g = f->sg_list;
    QCOMPARE(g->ColWidths(kSpalteGroesse), kBreiteGroesse);
    QCOMPARE(QFontInfo(g->font()).family(), QString("Liberation Sans"));
    const QFontMetrics metrics(g->font());
    for (size_t i = 1; i <= n; ++i) {
      const int r = int(i);
      const QString digits = QString::number(sizes[i - 1]);
      QCOMPARE(g->Cells(kSpalteGroesse, r), std::string(10 - digits.size(), ' ') + digits.toStdString());
      const QString drawn = g->DrawnCellText(kSpalteGroesse, r);
      if (digits.size() <= 7) {
        QVERIFY2(metrics.horizontalAdvance(digits) <= g->CellTextRect(kSpalteGroesse, r).width(), qPrintable(digits));
        QCOMPARE(drawn, digits);
      } else {
        QVERIFY2(drawn.endsWith(QChar(0x2026)) && drawn.size() >= 3 && digits.startsWith(drawn.chopped(1)),
                 qPrintable(drawn));
      }
    }
    QVERIFY(boxes.Calls().empty());
    GUISession.anzahl = 0;
  }

  // The filter core writes rejected logins on the log page.
  void rejectedLoginIsWrittenOnTheLogPage() {
    using fixtures::Script;
    fixtures::ScriptedPeer peer(Script()
                                    .Send("+OK ready\r\n")
                                    .Exchange("USER anna", "+OK\r\n")
                                    .Exchange("PASS pw1", "-ERR no\r\n")
                                    .Exchange("USER anna", "+OK\r\n")
                                    .Exchange("PASS pw1", "-ERR no\r\n")
                                    .Exchange("QUIT", "+OK\r\n")
                                    .AwaitClose());
    ProgramFolder dir;
    WriteAll(dir);
    dir.Write("Kelvo_Mailboxen.txt", mwtest::MailboxListe({"127.0.0.1 anna pw1"}));
    desktop::TMessageBoxRecorder boxes;
    Window f;
    GUISession.pop3->Port = peer.Port();
    ClickServer(f.get(), 0);
    f->pm_postholen->Click();
    QVERIFY(peer.WaitDone());
    QCOMPARE(boxes.Texts(), (std::vector<std::string>{"Anmeldung nicht m\xC3\xB6glich", "Serververbindung nicht m\xC3\xB6glich"}));
    QCOMPARE(mwtest::LinesOf(*f->M_protokoll),
             (std::vector<std::string>{"M_protokoll", "Start", "127.0.0.1 +++ Authentication failed"}));
    // The window's own client never talks; its handler would log a line.
    bool handled = false;
    f->Pop3Client1->OnAuthenticationFailed(handled);
    QCOMPARE(f->M_protokoll->Lines()[3], std::string("Authentication failed"));
  }

  // ------------------------------------------------------- batch states

  void batchStateTable() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    // Off -> Passive without a selection; "Start!" finds no mailbox.
    f->mm_p_batch->Click();
    CHECK_BATCH(f.get(), true, true, true, "Start!", "+++ passiv +++", false);
    QCOMPARE(f->batch_Servername->Caption(), std::string("Server"));
    f->pm_b_startStop->Click();
    CHECK_BATCH(f.get(), true, true, true, "Start!", "+++ passiv +++", false);
    QCOMPARE(f->batch_Servername->Caption(), std::string("-kein server-"));
    // Passive -> Off.
    f->pm_b_onOff->Click();
    CHECK_BATCH(f.get(), false, false, false, "Start!", "+++ passiv +++", false);

    // Off -> Passive with a selection: the batch mailbox is a copy.
    ClickServer(f.get(), 1);
    f->mm_p_batch->Click();
    CHECK_BATCH(f.get(), true, true, true, "Start!", "+++ passiv +++", false);
    QCOMPARE(f->batch_Servername->Caption(), std::string("pop.zwei.test"));
    QCOMPARE(BatchSession.aktuell, 1);
    QCOMPARE(BatchSession.konto.user, std::string("bernd"));
    QCOMPARE(GUISession.aktuell, 1);  // the interactive session is separate

    // Passive -> Waiting.
    f->mm_p_batchStartStop->Click();
    CHECK_BATCH(f.get(), true, true, true, "Stop!", "+++ wartet +++", true);
    QCOMPARE(f->batch_Servername->Caption(), std::string("pop.zwei.test"));
    QCOMPARE(f->Timer->Interval(), 60 * 60000);
    QVERIFY(f->BatchGestartet());
    // A second "Start!" (the action, while the timer runs) changes nothing.
    f->a_startBatch->Execute();
    QCOMPARE(f->Timer->Interval(), 60 * 60000);

    // Later edits of the mailbox list and another selection do not reach it.
    f->m_Serverliste->SetText(mwtest::MailboxListe({"anders.test x y"}));
    f->mm_d_EdiereServerliste->Click();
    ClickServer(f.get(), 0);
    QCOMPARE(BatchSession.konto.host, std::string("pop.zwei.test"));
    QCOMPARE(f->batch_Servername->Caption(), std::string("pop.zwei.test"));

    // Waiting -> Passive -> Waiting.
    f->pm_b_startStop->Click();
    CHECK_BATCH(f.get(), true, true, true, "Start!", "+++ passiv +++", false);
    QVERIFY(!f->BatchGestartet());
    f->pm_b_startStop->Click();
    CHECK_BATCH(f.get(), true, true, true, "Stop!", "+++ wartet +++", true);
    QCOMPARE(f->batch_Servername->Caption(), std::string("pop.zwei.test"));

    // Waiting -> Off: the batch session drops its mailbox.
    f->mm_p_batch->Click();
    CHECK_BATCH(f.get(), false, false, false, "Start!", "+++ passiv +++", false);
    QCOMPARE(BatchSession.aktuell, -1);
    // Off -> Passive takes the new selection.
    f->mm_p_batch->Click();
    QCOMPARE(BatchSession.konto.host, std::string("anders.test"));
    QCOMPARE(f->batch_Servername->Caption(), std::string("anders.test"));
    // Choosing the disabled items when Off does nothing.
    f->mm_p_batch->Click();
    f->mm_p_batchStartStop->Click();
    CHECK_BATCH(f.get(), false, false, false, "Start!", "+++ passiv +++", false);
    QCOMPARE(f->Label5->Caption(), std::string("n"));
    QVERIFY(boxes.Calls().empty());
  }

  void hoursSetTheMinutes_data() {
    QTest::addColumn<QString>("hours");
    QTest::addColumn<int>("minutes");
    QTest::newRow("3") << "3" << 180;
    QTest::newRow("24") << "24" << 1440;
    QTest::newRow("1") << "1" << 60;
    QTest::newRow("typed beyond the range") << "30" << 1440;
    QTest::newRow("not a number") << "zwei" << 60;
  }
  void hoursSetTheMinutes() {
    QFETCH(QString, hours);
    QFETCH(int, minutes);
    ProgramFolder dir;
    WriteAll(dir);
    Window f;
    f->SpinEdit1->SetText("2");
    QCOMPARE(f->batch_delInterval->Value(), 120);
    f->batch_delInterval->SetValue(7);
    f->SpinEdit1->SetText(hours.toStdString());
    QCOMPARE(f->batch_delInterval->Value(), minutes);
    // The minutes field does not touch the hours.
    const std::string shown = f->SpinEdit1->Text();
    f->batch_delInterval->SetValue(5);
    QCOMPARE(f->SpinEdit1->Text(), shown);
  }

  // The interval is read at "Start!" only; a number typed beyond the range
  // is clamped then.
  void intervalIsReadAtStart_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("minutes");
    QTest::newRow("60") << "60" << 60;
    QTest::newRow("1") << "1" << 1;
    QTest::newRow("1440") << "1440" << 1440;
    QTest::newRow("5000") << "5000" << 1440;
    QTest::newRow("0") << "0" << 1;
  }
  void intervalIsReadAtStart() {
    QFETCH(QString, typed);
    QFETCH(int, minutes);
    ProgramFolder dir;
    WriteAll(dir);
    Window f;
    ClickServer(f.get(), 0);
    f->mm_p_batch->Click();
    f->batch_delInterval->SetText(typed.toStdString());
    f->mm_p_batchStartStop->Click();
    QCOMPARE(f->Timer->Interval(), minutes * 60000);
    QCOMPARE(f->batch_delInterval->Value(), minutes);
    // Changed while Waiting: counts from the next start.
    f->SpinEdit1->SetValue(3);
    QCOMPARE(f->Timer->Interval(), minutes * 60000);
    f->mm_p_batchStartStop->Click();
    f->mm_p_batchStartStop->Click();
    QCOMPARE(f->Timer->Interval(), 180 * 60000);
    f->A_stopBatchExecute(nullptr);
  }

  // A mailbox whose server refuses: one default error dialog per run, no
  // protocol line, no log line, and the timer keeps running.
  void failingServerShowsOneDialogPerRun() {
    ProgramFolder dir;
    const uint16_t port = fixtures::UnusedPort();
    dir.Write("Kelvo_Mailboxen.txt", mwtest::MailboxListe({"127.0.0.1 anna pw"}));
    dir.Write("Kelvo_Spamdefs.txt", kDefs);
    dir.CopyShipped("Kelvo_Info.rtf");
    desktop::TMessageBoxRecorder boxes;
    std::vector<bool> timerDuringDialog;
    Window f;
    boxes.WhileOpen = [&](const desktop::TMessageBoxCall&) { timerDuringDialog.push_back(f->Timer->Enabled()); };
    BatchSession.pop3->Port = port;
    Tfrm_Emails::SetMillisecondsPerMinuteForTests(40);
    ClickServer(f.get(), 0);
    f->mm_p_batch->Click();
    f->batch_delInterval->SetValue(1);
    f->mm_p_batchStartStop->Click();
    QVERIFY(mwtest::WaitFor([&] { return boxes.Calls().size() >= 3; }));
    f->mm_p_batchStartStop->Click();
    mwtest::RunFor(std::chrono::milliseconds(150));

    QVERIFY(boxes.Calls().size() >= 3);
    for (const auto& call : boxes.Calls()) {
      QVERIFY(!call.Text.empty());
      QCOMPARE(call.Text, boxes.Calls()[0].Text);
      QCOMPARE(call.Caption, std::string("Mail Vandoler"));
      QVERIFY(call.Icon() == desktop::TMsgIcon::Error);
    }
    for (bool on : timerDuringDialog) QVERIFY(on);  // restored before the dialog
    QCOMPARE(f->batch_protokoll->Lines().Count(), 0);
    QVERIFY(!dir.Exists("Kelvo_Log.txt"));
    QVERIFY(!AutodeleteBusy);
    QVERIFY(!autodeleteAktiv);
    CHECK_BATCH(f.get(), true, true, true, "Start!", "+++ passiv +++", false);
  }

  // "Stop!" and "Start!" during a long run: the timer runs again at once,
  // its ticks during the run are skipped, and no second run starts inside
  // the first.
  void ticksDuringARunAreSkipped() {
    using fixtures::Script;
    auto leer = [](Script& s) -> Script& {
      return s.Send("+OK ready\r\n").Exchange("USER anna", "+OK\r\n").Exchange("PASS pw1", "+OK\r\n").Exchange("STAT", "+OK 0 0\r\n");
    };
    Script script;
    leer(script).Expect("QUIT").Pause(std::chrono::milliseconds(800)).Send("+OK\r\n").AwaitClose().Accept();
    leer(script).Exchange("QUIT", "+OK\r\n").AwaitClose();
    fixtures::ScriptedPeer peer(script);
    ProgramFolder dir;
    WriteAll(dir);
    dir.Write("Kelvo_Mailboxen.txt", mwtest::MailboxListe({"127.0.0.1 anna pw1"}));
    desktop::TMessageBoxRecorder boxes;
    Window f;
    BatchSession.pop3->Port = peer.Port();
    Tfrm_Emails::SetMillisecondsPerMinuteForTests(100);
    ClickServer(f.get(), 0);
    f->mm_p_batch->Click();
    f->batch_delInterval->SetValue(1);
    int runsStarted = 0;
    bool timerRunningInRun = false;
    std::string captionInRun, statusInRun;
    QTimer watch;
    bool wasBusy = false;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (AutodeleteBusy && !wasBusy) {
        ++runsStarted;
        if (runsStarted == 1) {
          f->mm_p_batchStartStop->Click();  // Stop!
          f->mm_p_batchStartStop->Click();  // Start!
          timerRunningInRun = f->Timer->Running();
          captionInRun = f->pm_b_startStop->Caption();
          statusInRun = f->lbl_Batchstatus->Caption();
        }
      }
      wasBusy = AutodeleteBusy;
    });
    watch.start(1);
    f->mm_p_batchStartStop->Click();
    QVERIFY(mwtest::WaitFor([&] { return f->batch_protokoll->Lines().Count() == 1; }));
    f->mm_p_batchStartStop->Click();  // Stop!, before a next run would find no server
    watch.stop();
    QVERIFY(peer.WaitDone());
    QVERIFY(peer.Failures().empty());
    QCOMPARE(runsStarted, 1);
    QVERIFY(timerRunningInRun);
    QCOMPARE(captionInRun, std::string("Stop!"));
    QCOMPARE(statusInRun, std::string("+++ wartet +++"));
    QVERIFY(boxes.Calls().empty());
    QVERIFY(f->batch_protokoll->Lines()[0].size() > 7);
    QCOMPARE(f->batch_protokoll->Lines()[0].substr(f->batch_protokoll->Lines()[0].size() - 7), std::string(" +++: 0"));
  }

  // A tick finds nothing to do while the batch session has no mailbox.
  void tickWithoutMailboxIsSkipped() {
    ProgramFolder dir;
    WriteAll(dir);
    desktop::TMessageBoxRecorder boxes;
    Window f;
    f->a_autodelete->Execute();
    QCOMPARE(f->lbl_Batchstatus->Caption(), std::string("+++ passiv +++"));
    QCOMPARE(f->batch_protokoll->Lines().Count(), 0);
    QVERIFY(boxes.Calls().empty());
    QVERIFY(!dir.Exists("Kelvo_Log.txt"));
  }
};

int main(int argc, char** argv) {
  desktop::TDesktopApplication app(argc, argv);
  platform::Application().Title = kAnwendungsTitel;
  MainWindowTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "MainWindowTest.moc"
