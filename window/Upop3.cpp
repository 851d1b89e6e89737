#include "window/Upop3.h"

#include <QApplication>
#include <QFileDialog>
#include <QTextCursor>

#include <algorithm>
#include <functional>

#include "platform/Convert.h"
#include "platform/Runtime.h"
#include "platform/ScopeExit.h"
#include "platform/TextFile.h"
#include "pop3client/Pop3Client.h"
#include "window/desktop/Controls.h"

Tfrm_Emails* frm_Emails = nullptr;
tpop3list serverliste;
tGUIMailboxMgmt GUISession;
tMailboxMgmt BatchSession;
bool AutodeleteBusy = false;

namespace {

using desktop::TAlign;
using desktop::TFontSpec;

// The form's face and the list editors' face, asked for by name; the
// desktop layer draws them in stand-ins of the same metrics
// (desktop::SansSerifFamily, desktop::FixedPitchFamily).
const TFontSpec kFormFont{"MS Sans Serif", 11, false};
const TFontSpec kListFont{"Lucida Console", 12, false};

constexpr int kStripHoehe = 33;
constexpr int kMailListStripHoehe = 28;
constexpr int kPanel1Breite = 201;
constexpr int kPanel1Rand = 4;
constexpr int kListBoxHoehe = 76;
constexpr int kBatchPanelHoehe = 113;
constexpr int kGridZeilenHoehe = 14;
constexpr int kGridFesteSpalten = 2;
constexpr int kGridFesteZeilen = 1;
constexpr int kGridStartZeilen = 2;
constexpr int kStatusBreiten[] = {20, 80, 200, 50};

// A new mailbox list holds passwords: readable by its owner only.
constexpr unsigned kModusServerliste = 0600;
constexpr unsigned kModusVirdefs = 0644;

int g_msJeMinute = kMillisekundenJeMinute;

// The log page as the filter core sees it.
class MemoProtokoll : public tProtokollView {
 public:
  explicit MemoProtokoll(desktop::TMemo* memo) : memo_(memo) {}
  void AddLine(const std::string& zeile) override { memo_->Lines().Add(zeile); }

 private:
  desktop::TMemo* memo_;
};

}  // namespace

int GezaehlteZeilen(const desktop::TMemo& memo) { return memo.Lines().Count(); }

void Tfrm_Emails::SetMillisecondsPerMinuteForTests(int ms) { g_msJeMinute = ms > 0 ? ms : kMillisekundenJeMinute; }
int Tfrm_Emails::MillisecondsPerMinute() { return g_msJeMinute; }

Tfrm_Emails::Tfrm_Emails(platform::TComponent* owner) : desktop::TForm(owner) {
  // The start-up sequence hands the window on as owner of the sessions'
  // clients, so it must be known before that sequence runs.
  frm_Emails = this;
  Name = "frm_Emails";
  SetCaption(kFensterTitel);
  SetFont(kFormFont);
  SetPosition(desktop::TPosition::poScreenCenter);
  SetOuterSize(kFensterBreite, kFensterHoehe);

  BuildActions();
  BuildComponents();
  BuildMenus();

  OnCreate = [this](platform::TObject* s) { FormCreate(s); };
  // The widths of the start-up follow the client area the frame leaves.
  OnFrameFitted = [this](platform::TObject*) {
    if (sg_list->ColWidths(3) != startRest_ || sg_list->ColWidths(4) != startRest_) return;
    desktop::Realize(this);
    SetGridColumnWidths();
  };
}

Tfrm_Emails::~Tfrm_Emails() {
  BeginDestroy();
  if (protokollMemo == protokollAnsicht_.get()) protokollMemo = nullptr;
  // The sessions' clients go with the window.
  GUISession.pop3 = nullptr;
  GUISession.Grid = nullptr;
  GUISession.Statusleiste = nullptr;
  BatchSession.pop3 = nullptr;
  if (frm_Emails == this) frm_Emails = nullptr;
}

void Tfrm_Emails::BuildActions() {
  ActionList = new desktop::TActionList(this);
  auto add = [this](const char* name, const char* caption, void (Tfrm_Emails::*handler)(platform::TObject*)) {
    desktop::TAction* a = ActionList->Add(name, caption);
    if (handler) a->OnExecute = [this, handler](platform::TObject* s) { (this->*handler)(s); };
    return a;
  };
  a_serverlisteLaden = add("a_serverlisteLaden", "serverlisteLaden", &Tfrm_Emails::a_serverlisteLadenExecute);
  A_ServerlisteEditierenUebernehmen = add("A_ServerlisteEditierenUebernehmen", "ServerlisteEditieren",
                                          &Tfrm_Emails::A_ServerlisteEditierenUebernehmenExecute);
  A_serverlisteSpeichern =
      add("A_serverlisteSpeichern", "serverlisteSpeichern", &Tfrm_Emails::A_serverlisteSpeichernExecute);
  A_mailheaderLaden = add("A_mailheaderLaden", "mailheaderLaden", &Tfrm_Emails::A_mailheaderLadenExecute);
  a_mailheaderMarkieren = add("a_mailheaderMarkieren", "mailheaderMarkieren", nullptr);
  A_MailheaderLoeschen =
      add("A_MailheaderLoeschen", "MailheaderLoeschen", &Tfrm_Emails::A_MailheaderLoeschenExecute);
  a_serverlistToStringgrid = add("a_serverlistToStringgrid", "a_serverlistToStringgrid", nullptr);
  a_servereinstellen = add("a_servereinstellen", "a_servereinstellen", &Tfrm_Emails::a_servereinstellenExecute);
  A_ServerlisteEditierenAnfang = add("A_ServerlisteEditierenAnfang", "A_ServerlisteEditierenAnfang", nullptr);
  a_autodelete = add("a_autodelete", "Autodelete", &Tfrm_Emails::a_autodeleteExecute);
  a_startBatch = add("a_startBatch", "a_startBatch", &Tfrm_Emails::a_startBatchExecute);
  A_stopBatch = add("A_stopBatch", "A_stopBatch", &Tfrm_Emails::A_stopBatchExecute);
  a_Virdefseinlesen = add("a_Virdefseinlesen", "a_Virdefseinlesen", &Tfrm_Emails::a_VirdefseinlesenExecute);
  a_virdefsSchreiben = add("a_virdefsSchreiben", "a_virdefsSchreiben", &Tfrm_Emails::a_virdefsSchreibenExecute);
  a_spamcheck = add("a_spamcheck", "a_spamcheck", &Tfrm_Emails::a_spamcheckExecute);
  a_ShowInfo = add("a_ShowInfo", "a_ShowInfo", &Tfrm_Emails::a_ShowInfoExecute);
  a_Quit = add("a_Quit", "Beenden", &Tfrm_Emails::a_QuitExecute);
  a_batchEnableDisable =
      add("a_batchEnableDisable", "Batch An/Aus", &Tfrm_Emails::a_batchEnableDisableExecute);
  a_CopySpamMarkierungen = add("a_CopySpamMarkierungen", "a_CopySpamMarkierungen",
                               &Tfrm_Emails::a_CopySpamMarkierungenExecute);
  a_CopyNoSpamMarkierungen =
      add("a_CopyNoSpamMarkierungen", "Copy Unmarkierte", &Tfrm_Emails::a_CopyNoSpamMarkierungenExecute);
}

void Tfrm_Emails::BuildComponents() {
  QWidget* client = Client();
  const TFontSpec bold{"", 0, true};

  // Made first, so the top panel covers it.
  Label1 = new desktop::TLabel(client, "Label1");
  Label1->Name = "Label1";
  Label1->SetBounds(8, 8, 40, 13);

  Panel2 = new desktop::TPanel(client);
  Panel2->Name = "Panel2";
  Panel2->SetHeight(kStripHoehe);
  Panel2->SetAlign(TAlign::alTop);
  Panel2->setAutoFillBackground(true);  // covers Label1 entirely
  kn_UniClear = new desktop::TButton(Panel2, "Uni");
  kn_UniClear->Name = "kn_UniClear";
  kn_UniClear->SetBounds(8, 4, 75, 25);
  kn_UniClear->SetVisible(false);
  kn_clearTonline = new desktop::TButton(Panel2, "T-Online");
  kn_clearTonline->Name = "kn_clearTonline";
  kn_clearTonline->SetBounds(88, 4, 75, 25);
  kn_clearTonline->SetVisible(false);

  statusbar = new desktop::TStatusBar(client);
  statusbar->Name = "statusbar";
  for (int w : kStatusBreiten) statusbar->AddPanel(w);
  statusbar->SetAlign(TAlign::alBottom);

  // --- left column: mailbox names and the batch page
  Panel1 = new desktop::TPanel(client);
  Panel1->Name = "Panel1";
  Panel1->SetBorderWidth(kPanel1Rand);
  Panel1->SetWidth(kPanel1Breite);
  Panel1->SetAlign(TAlign::alLeft);

  ListBox1 = new desktop::TListBox(Panel1);
  ListBox1->Name = "ListBox1";
  ListBox1->SetHeight(kListBoxHoehe);
  ListBox1->SetAlign(TAlign::alTop);
  ListBox1->OnClick = [this](platform::TObject* s) { a_servereinstellenExecute(s); };

  pg_batch = new desktop::TPageControl(Panel1);
  pg_batch->Name = "pg_batch";
  TabSheet1 = new desktop::TTabSheet(pg_batch, "Batch");
  TabSheet1->Name = "TabSheet1";
  pg_batch->SetAlign(TAlign::alClient);
  pg_batch->SetVisible(false);

  Panel3 = new desktop::TPanel(TabSheet1);
  Panel3->Name = "Panel3";
  Panel3->SetHeight(kBatchPanelHoehe);
  Panel3->SetAlign(TAlign::alTop);

  batch_Servername = new desktop::TLabel(Panel3, "Server");
  batch_Servername->Name = "batch_Servername";
  batch_Servername->SetFont(bold);
  batch_Servername->SetHeight(16);
  batch_Servername->SetAlign(TAlign::alTop);

  StaticText1 = new desktop::TStaticText(Panel3, "Löschintervall in Min");
  StaticText1->Name = "StaticText1";
  StaticText1->SetBounds(4, 22, 112, 17);
  batch_delInterval = new desktop::TSpinEdit(Panel3);
  batch_delInterval->Name = "batch_delInterval";
  batch_delInterval->SetMinValue(kMinMinuten);
  batch_delInterval->SetMaxValue(kMaxMinuten);
  batch_delInterval->SetValue(kStartMinuten);
  batch_delInterval->SetBounds(118, 20, 58, 21);

  StaticText2 = new desktop::TStaticText(Panel3, "... oder in Std");
  StaticText2->Name = "StaticText2";
  StaticText2->SetBounds(4, 46, 112, 17);
  SpinEdit1 = new desktop::TSpinEdit(Panel3);
  SpinEdit1->Name = "SpinEdit1";
  SpinEdit1->SetMinValue(kMinStunden);
  SpinEdit1->SetMaxValue(kMaxStunden);
  SpinEdit1->SetValue(kMinStunden);
  SpinEdit1->SetBounds(118, 44, 58, 21);
  SpinEdit1->OnChange = [this](platform::TObject* s) { SpinEdit1Change(s); };

  lbl_Batchstatus = new desktop::TLabel(Panel3, kBatchPassiv);
  lbl_Batchstatus->Name = "lbl_Batchstatus";
  lbl_Batchstatus->SetFontColor(Qt::red);
  lbl_Batchstatus->SetBounds(4, 70, 172, 16);

  Label4 = new desktop::TLabel(Panel3, "Gelöschte Mails:");
  Label4->Name = "Label4";
  Label4->SetBounds(4, 90, 96, 16);
  Label5 = new desktop::TLabel(Panel3, "n");
  Label5->Name = "Label5";
  Label5->SetBounds(104, 90, 40, 16);

  batch_cb_Start = new desktop::TCheckBox(Panel3, "Start");
  batch_cb_Start->Name = "batch_cb_Start";
  batch_cb_Start->SetBounds(150, 90, 28, 16);
  batch_cb_Start->SetVisible(false);

  batch_protokoll = new desktop::TMemo(TabSheet1);
  batch_protokoll->Name = "batch_protokoll";
  batch_protokoll->SetWordWrap(false);
  batch_protokoll->SetScrollBars(desktop::TScrollStyle::ssBoth);
  batch_protokoll->SetAlign(TAlign::alClient);

  // --- the pages
  PageControl1 = new desktop::TPageControl(client);
  PageControl1->Name = "PageControl1";
  PageControl1->SetTabsAtBottom(true);
  PageControl1->SetAlign(TAlign::alClient);

  ts_mailList = new desktop::TTabSheet(PageControl1, "Mail&List");
  ts_mailList->Name = "ts_mailList";
  Panel4 = new desktop::TPanel(ts_mailList);
  Panel4->Name = "Panel4";
  Panel4->SetHeight(kMailListStripHoehe);
  Panel4->SetAlign(TAlign::alTop);
  l_host = new desktop::TLabel(Panel4, "server:");
  l_host->Name = "l_host";
  l_host->SetFont(bold);
  l_host->SetBounds(8, 6, 360, 16);
  StaticText4 = new desktop::TStaticText(Panel4, "Löschauftrag");
  StaticText4->Name = "StaticText4";
  StaticText4->SetFont(TFontSpec{"", 13, false});
  StaticText4->SetBounds(0, 6, 84, 17);
  StaticText4->AnchorRight(88);
  kn_DeleteMails = new desktop::TButton(Panel4);
  kn_DeleteMails->Name = "kn_DeleteMails";
  kn_DeleteMails->SetAction(A_MailheaderLoeschen);
  kn_DeleteMails->SetCaption("Senden");
  kn_DeleteMails->SetHint("Löschauftrag senden");
  kn_DeleteMails->SetBounds(0, 3, 75, 22);
  kn_DeleteMails->AnchorRight(6);

  Label3 = new desktop::TLabel(ts_mailList, "Zum Markieren für Löschen Zeile markieren und doppelklicken");
  Label3->Name = "Label3";
  Label3->SetHeight(18);
  Label3->setIndent(4);
  Label3->SetAlign(TAlign::alTop);

  sg_list = new desktop::TStringGrid(ts_mailList);
  sg_list->Name = "sg_list";
  sg_list->SetFixedCols(kGridFesteSpalten);
  sg_list->SetFixedRows(kGridFesteZeilen);
  sg_list->SetDefaultRowHeight(kGridZeilenHoehe);
  sg_list->SetHint("Eine Mail markieren und Doppelklicken zum Lösch-Vormerken");
  sg_list->SetAlign(TAlign::alClient);
  sg_list->OnDblClick = [this](platform::TObject* s) { sg_listDblClick(s); };
  // The size column's "%10d" texts are right-aligned numbers: drawn without
  // their blanks, seven digits fit its 48 px in the form's face; a longer
  // number is cut at its end, so it never reads as a smaller one.
  sg_list->setItemDelegateForColumn(kSpalteGroesse, new desktop::TNumberCellDelegate(sg_list));

  Ts_serverliste = new desktop::TTabSheet(PageControl1, "Server");
  Ts_serverliste->Name = "Ts_serverliste";
  Panel5 = new desktop::TPanel(Ts_serverliste);
  Panel5->Name = "Panel5";
  Panel5->SetHeight(kStripHoehe);
  Panel5->SetAlign(TAlign::alTop);
  m_Serverliste = new desktop::TMemo(Ts_serverliste);
  m_Serverliste->Name = "m_Serverliste";
  m_Serverliste->SetFont(kListFont);
  m_Serverliste->SetWordWrap(false);
  m_Serverliste->SetScrollBars(desktop::TScrollStyle::ssBoth);
  m_Serverliste->SetAlign(TAlign::alClient);

  Ts_Mailheader = new desktop::TTabSheet(PageControl1, "&Head");
  Ts_Mailheader->Name = "Ts_Mailheader";
  Ts_Mailheader->SetTabVisible(false);
  re_head = new desktop::TRichEdit(Ts_Mailheader);
  re_head->Name = "re_head";
  re_head->SetPlainText(true);
  re_head->SetAlign(TAlign::alClient);

  ts_Mailbody = new desktop::TTabSheet(PageControl1, "&Body");
  ts_Mailbody->Name = "ts_Mailbody";
  ts_Mailbody->SetTabVisible(false);
  re_body = new desktop::TRichEdit(ts_Mailbody);
  re_body->Name = "re_body";
  re_body->SetPlainText(true);
  re_body->SetAlign(TAlign::alClient);

  ts_virdefs = new desktop::TTabSheet(PageControl1, "Virdefs");
  ts_virdefs->Name = "ts_virdefs";
  Panel6 = new desktop::TPanel(ts_virdefs);
  Panel6->Name = "Panel6";
  Panel6->SetHeight(kStripHoehe);
  Panel6->SetAlign(TAlign::alTop);
  M_virdefs = new desktop::TMemo(ts_virdefs);
  M_virdefs->Name = "M_virdefs";
  M_virdefs->SetFont(kListFont);
  M_virdefs->SetWordWrap(false);
  M_virdefs->SetScrollBars(desktop::TScrollStyle::ssVertical);
  M_virdefs->SetAlign(TAlign::alClient);

  TS_Info = new desktop::TTabSheet(PageControl1, "Info");
  TS_Info->Name = "TS_Info";
  StaticText3 = new desktop::TStaticText(TS_Info, "Hilfe und Info");
  StaticText3->Name = "StaticText3";
  StaticText3->SetFont(TFontSpec{"", 15, true});
  StaticText3->SetHeight(24);
  StaticText3->SetAlign(TAlign::alTop);
  re_Info = new desktop::TRichEdit(TS_Info);
  re_Info->Name = "re_Info";
  re_Info->setReadOnly(true);
  re_Info->SetScrollBars(desktop::TScrollStyle::ssBoth);
  re_Info->SetAlign(TAlign::alClient);

  ts_protokoll = new desktop::TTabSheet(PageControl1, "Protokoll");
  ts_protokoll->Name = "ts_protokoll";
  ts_protokoll->SetTabVisible(false);
  Panel7 = new desktop::TPanel(ts_protokoll);
  Panel7->Name = "Panel7";
  Panel7->SetHeight(kStripHoehe);
  Panel7->SetAlign(TAlign::alTop);
  M_protokoll = new desktop::TMemo(ts_protokoll);
  M_protokoll->Name = "M_protokoll";
  M_protokoll->SetText("M_protokoll");
  M_protokoll->SetAlign(TAlign::alClient);

  PageControl1->SetActivePageIndex(0);

  // --- parts that nothing reaches
  Timer = new desktop::TTimer(this);
  Timer->Name = "Timer";
  Timer->SetEnabled(false);
  Timer->SetOnTimer([this](platform::TObject* s) { a_autodeleteExecute(s); });

  Pop3Client1 = new TPop3Client(this);
  Pop3Client1->Port = TPop3Client::kDefaultPort;
  Pop3Client1->TimeOut = kSessionTimeOutMs;  // the same limit as every session's client
  Pop3Client1->OnAuthenticationFailed = [this](bool& handled) { Pop3Client1AuthenticationFailed(handled); };

  dlg_Openfile = new QFileDialog(this);
  dlg_Openfile->setObjectName(QStringLiteral("dlg_Openfile"));
  dlg_Openfile->setFileMode(QFileDialog::ExistingFile);
}

void Tfrm_Emails::BuildMenus() {
  using desktop::TMenuItem;
  MainMenu1 = new desktop::TMainMenu(this);
  TMenuItem* bar = MainMenu1->Items();

  mm_datei = new TMenuItem(bar, "mm_datei", "Datei");
  mm_d_leseServerliste = new TMenuItem(mm_datei, "mm_d_leseServerliste", "Serverliste Laden", a_serverlisteLaden);
  N3 = new TMenuItem(mm_datei, "N3", "-");
  mm_d_EdiereServerliste = new TMenuItem(mm_datei, "mm_d_EdiereServerliste", "Änderungen übernehmen",
                                         A_ServerlisteEditierenUebernehmen);
  mm_d_speserverliste =
      new TMenuItem(mm_datei, "mm_d_speserverliste", "Serverliste Speichern", A_serverlisteSpeichern);
  N8 = new TMenuItem(mm_datei, "N8", "-");
  mm_p_batch = new TMenuItem(mm_datei, "mm_p_batch", "&Batch", a_batchEnableDisable);
  mm_p_batchStartStop = new TMenuItem(mm_datei, "mm_p_batchStartStop", kStartErstmals);
  N2 = new TMenuItem(mm_datei, "N2", "-");
  mm_d_quit = new TMenuItem(mm_datei, "mm_d_quit", "", a_Quit);

  mm_Postfach = new TMenuItem(bar, "mm_Postfach", "Postfach");
  mm_p_HoleMailheader =
      new TMenuItem(mm_Postfach, "mm_p_HoleMailheader", "Mailheader herunterladen", A_mailheaderLaden);
  mm_p_spamcheck = new TMenuItem(mm_Postfach, "mm_p_spamcheck", "Spamcheck", a_spamcheck);
  mm_p_LoescheMarkierte =
      new TMenuItem(mm_Postfach, "mm_p_LoescheMarkierte", "Löschbefehl senden", A_MailheaderLoeschen);
  N4 = new TMenuItem(mm_Postfach, "N4", "-");
  mm_p_CopyMarkers =
      new TMenuItem(mm_Postfach, "mm_p_CopyMarkers", "Copy Markierungen", a_CopySpamMarkierungen);
  mm_p_CopyUnmarkierte = new TMenuItem(mm_Postfach, "mm_p_CopyUnmarkierte", "", a_CopyNoSpamMarkierungen);

  mm_virlist = new TMenuItem(bar, "mm_virlist", "Virdefs");
  mm_vd_laden = new TMenuItem(mm_virlist, "mm_vd_laden", "Ein&lesen", a_Virdefseinlesen);
  mm_vd_speichern = new TMenuItem(mm_virlist, "mm_vd_speichern", "&Speichern", a_virdefsSchreiben);
  N5 = new TMenuItem(mm_virlist, "N5", "-");
  mm_vd_Spamcheck = new TMenuItem(mm_virlist, "mm_vd_Spamcheck", "Spam&check", a_spamcheck);

  // A bar-shaped divider in the menu bar; it cannot be chosen.
  N6 = new TMenuItem(bar, "N6", " | ");
  N6->SetEnabled(false);

  mm_info = new TMenuItem(bar, "mm_info", "? Hilfe", a_ShowInfo);

  // --- popups
  pm_listbox = new desktop::TPopupMenu(this);
  TMenuItem* p = pm_listbox->Items();
  pm_postholen = new TMenuItem(p, "pm_postholen", "Mailheader herunterladen", A_mailheaderLaden);
  pm_loescheMails = new TMenuItem(p, "pm_loescheMails", "Löschbefehl senden", A_MailheaderLoeschen);
  N1 = new TMenuItem(p, "N1", "-");
  LeseServerliste1 = new TMenuItem(p, "LeseServerliste1", "Serverliste Laden", a_serverlisteLaden);
  pm_sluebernehmen =
      new TMenuItem(p, "pm_sluebernehmen", "Änderungen übernehmen", A_ServerlisteEditierenUebernehmen);
  pm_serverlisteSpeichern =
      new TMenuItem(p, "pm_serverlisteSpeichern", "Serverliste Speichern", A_serverlisteSpeichern);
  ListBox1->SetPopupMenu(pm_listbox);

  pm_Serverlist = new desktop::TPopupMenu(this);
  p = pm_Serverlist->Items();
  pm_sl_serverlisteLaden1 = new TMenuItem(p, "pm_sl_serverlisteLaden1", "Serverliste laden", a_serverlisteLaden);
  pm_sl_uebernehmen =
      new TMenuItem(p, "pm_sl_uebernehmen", "Änderungen übernehmen", A_ServerlisteEditierenUebernehmen);
  pm_sl_Speichern = new TMenuItem(p, "pm_sl_Speichern", "Serverliste speichern", A_serverlisteSpeichern);
  m_Serverliste->SetPopupMenu(pm_Serverlist);

  Pm_virlist = new desktop::TPopupMenu(this);
  p = Pm_virlist->Items();
  pm_vd_einlesen = new TMenuItem(p, "pm_vd_einlesen", "Einlesen", a_Virdefseinlesen);
  pm_vd_save = new TMenuItem(p, "pm_vd_save", "Speichern", a_virdefsSchreiben);
  N7 = new TMenuItem(p, "N7", "-");
  pm_vd_anwenden = new TMenuItem(p, "pm_vd_anwenden", "Spamcheck", a_spamcheck);
  M_virdefs->SetPopupMenu(Pm_virlist);

  Pm_batch = new desktop::TPopupMenu(this);
  p = Pm_batch->Items();
  pm_b_onOff = new TMenuItem(p, "pm_b_onOff", "&Batch", a_batchEnableDisable);
  pm_b_startStop = new TMenuItem(p, "pm_b_startStop", kStartErstmals);
  Panel1->SetPopupMenu(Pm_batch);
  pg_batch->SetPopupMenu(Pm_batch);
  Panel3->SetPopupMenu(Pm_batch);

  Pm_Maillist = new desktop::TPopupMenu(this);
  p = Pm_Maillist->Items();
  pm_ml_headerLaden = new TMenuItem(p, "pm_ml_headerLaden", "Header herunterladen", A_mailheaderLaden);
  pm_ml_sendDelete = new TMenuItem(p, "pm_ml_sendDelete", "Löschbefehl senden", A_MailheaderLoeschen);
  pm_ml_Spamcheck = new TMenuItem(p, "pm_ml_Spamcheck", "SpamCheck", a_spamcheck);
  N9 = new TMenuItem(p, "N9", "-");
  pm_ml_Copy = new TMenuItem(p, "pm_ml_Copy", "Copy Markierte", a_CopySpamMarkierungen);
  pm_ml_Copy->SetHint("Kopiert die aktuelle Merkierung ins Clipboard");
  pm_m_CopyUnmarkierte = new TMenuItem(p, "pm_m_CopyUnmarkierte", "", a_CopyNoSpamMarkierungen);
  sg_list->SetPopupMenu(Pm_Maillist);

  // The start/stop items are disabled until batch mode is first switched on.
  SetStartStopItems(false, kStartErstmals, true);
}

void Tfrm_Emails::SetStartStopItems(bool enabled, const std::string& caption, bool startsBatch) {
  mm_p_batchStartStop->SetEnabled(enabled);
  pm_b_startStop->SetEnabled(enabled);
  SetStartStopItems(caption, startsBatch);
}

void Tfrm_Emails::SetStartStopItems(const std::string& caption, bool startsBatch) {
  platform::TNotifyEvent click;
  if (startsBatch)
    click = [this](platform::TObject* s) { a_startBatchExecute(s); };
  else
    click = [this](platform::TObject* s) { A_stopBatchExecute(s); };
  for (desktop::TMenuItem* item : {mm_p_batchStartStop, pm_b_startStop}) {
    item->SetCaption(caption);
    item->OnClick = click;
  }
}

// ---------------------------------------------------------------- start-up

void Tfrm_Emails::FormCreate(platform::TObject* Sender) {
  // 1. The grid: widths from its width now, not followed on resizes.
  sg_list->SetColCount(kGridSpalten);
  sg_list->SetRowCount(kGridStartZeilen);
  SetGridColumnWidths();

  // 2. The interactive session.
  GUIInit(GUISession, frm_Emails);
  GUISession.veraltet = true;
  GUISession.anzahl = 0;
  GUISession.abbruch = false;
  GUISession.Grid = sg_list;
  GUISession.Statusleiste = statusbar;

  // 3. The batch session.
  Init(BatchSession, frm_Emails);
  BatchSession.veraltet = true;
  BatchSession.anzahl = 0;
  BatchSession.abbruch = false;

  // 4. Rejected logins are written on the log page.
  protokollAnsicht_ = std::make_unique<MemoProtokoll>(M_protokoll);
  protokollMemo = protokollAnsicht_.get();

  // 5.-7. The lists and the help text; the first failure ends the sequence.
  a_serverlisteLadenExecute(Sender);
  a_VirdefseinlesenExecute(Sender);
  re_Info->LoadFromFile(infoDatei);
  re_Info->moveCursor(QTextCursor::Start);

  // 8.
  M_protokoll->Lines().Add("Start");
}

void Tfrm_Emails::SetGridColumnWidths() {
  sg_list->SetColWidths(0, kBreiteNr);
  sg_list->SetColWidths(1, kBreiteMarke);
  sg_list->SetColWidths(2, kBreiteGroesse);
  startRest_ = (sg_list->Width() - kGridRest) / 2;
  sg_list->SetColWidths(3, startRest_);
  sg_list->SetColWidths(4, startRest_);
}

void Tfrm_Emails::a_ShowInfoExecute(platform::TObject*) { PageControl1->SetActivePage(TS_Info); }

void Tfrm_Emails::a_QuitExecute(platform::TObject* Sender) {
  A_stopBatchExecute(Sender);
  desktop::Terminate();
}

// ------------------------------------------------------- interactive work

void Tfrm_Emails::a_serverlisteLadenExecute(platform::TObject* Sender) {
  const std::string pfad = ServerlisteDateiWaehlen();
  m_Serverliste->Lines().LoadFromFile(pfad);
  A_ServerlisteEditierenUebernehmenExecute(Sender);
}

void Tfrm_Emails::A_ServerlisteEditierenUebernehmenExecute(platform::TObject*) {
  ServerlisteUebernehmen(serverliste, m_Serverliste->Lines().ToStringList());
  ListBox1->SetItems(serverliste.namen.Lines());
  ServerZuruecksetzen(GUISession);
}

void Tfrm_Emails::A_serverlisteSpeichernExecute(platform::TObject* Sender) {
  if (GezaehlteZeilen(*m_Serverliste) < kMinZeilenServerliste) return;
  // Replaced as a whole: a failure leaves the old file as it was.
  platform::WriteWholeFile(mailboxenDatei, m_Serverliste->Text(), kModusServerliste);
  A_ServerlisteEditierenUebernehmenExecute(Sender);
}

void Tfrm_Emails::a_servereinstellenExecute(platform::TObject*) {
  const int i = ListBox1->ItemIndex();
  if (i < 0) return;
  const bool nimmtAuswahl = !GUISession.busy;
  ServerEinstellen(GUISession, serverliste, i);
  if (nimmtAuswahl) l_host->SetCaption(kHostPrefix + ListBox1->Item(i));
  PageControl1->SetActivePageIndex(0);
}

void Tfrm_Emails::A_mailheaderLadenExecute(platform::TObject*) {
  if (GUISession.aktuell == -1 || GUISession.busy) return;
  sg_list->SetRowCount(kGridStartZeilen);
  GUIMailheaderLaden(GUISession);
  GUISpamcheck(GUISession);
}

void Tfrm_Emails::A_MailheaderLoeschenExecute(platform::TObject*) {
  if (GUISession.aktuell == -1) return;
  GUIMailheaderLoeschen(GUISession);
}

void Tfrm_Emails::sg_listDblClick(platform::TObject*) {
  // Runs nested while a load or a pass waits on the network. Marks hold
  // still then: the pass deletes and keeps by the marks it started with, so
  // a toggle now, or one kept for later, would show a mark nothing follows.
  if (GUISession.busy) return;
  if (GUISession.aktuell == -1 || GUISession.anzahl == 0) return;
  const int r = sg_list->Selection().Top;
  // The title row and rows past the list (left empty after skipped
  // headers) have no entry to mark.
  if (r < 1 || r > GUISession.anzahl || static_cast<size_t>(r) >= GUISession.summaries.size()) return;
  tMailSummary& eintrag = GUISession.summaries[static_cast<size_t>(r)];
  eintrag.spam = eintrag.spam != 0 ? 0 : 1;
  sg_list->SetCells(kSpalteMarke, r, eintrag.spam != 0 ? "x" : " ");
}

void Tfrm_Emails::a_VirdefseinlesenExecute(platform::TObject*) {
  const std::string pfad = VirdefsDateiWaehlen();
  M_virdefs->Lines().LoadFromFile(pfad);
  VirdefsUebernehmen(GUISession, M_virdefs->Lines().ToStringList());
}

void Tfrm_Emails::a_virdefsSchreibenExecute(platform::TObject*) {
  if (GezaehlteZeilen(*M_virdefs) < kMinZeilenVirdefs) return;
  platform::WriteWholeFile(spamdefsDatei, M_virdefs->Text(), kModusVirdefs);
  VirdefsUebernehmen(GUISession, M_virdefs->Lines().ToStringList());
}

void Tfrm_Emails::a_spamcheckExecute(platform::TObject*) {
  if (GUISession.aktuell == -1 || GUISession.anzahl == 0) return;
  VirdefsUebernehmen(GUISession, M_virdefs->Lines().ToStringList());
  GUISpamcheck(GUISession);
}

void Tfrm_Emails::a_CopySpamMarkierungenExecute(platform::TObject*) { CopyMarkierungen(GUISession, true); }

void Tfrm_Emails::a_CopyNoSpamMarkierungenExecute(platform::TObject*) { CopyMarkierungen(GUISession, false); }

// -------------------------------------------------------- timed batch mode

void Tfrm_Emails::a_batchEnableDisableExecute(platform::TObject* Sender) {
  if (Timer->Enabled()) A_stopBatchExecute(Sender);
  const bool an = !mm_p_batch->Checked();
  mm_p_batch->SetChecked(an);
  pm_b_onOff->SetChecked(an);
  if (an) {
    pg_batch->SetVisible(true);
    a_BatchservereinstellenExecute(Sender);
    SetStartStopItems(true, kStartBatch, true);
  } else {
    A_stopBatchExecute(Sender);
    pg_batch->SetVisible(false);
    ServerZuruecksetzen(BatchSession);
    SetStartStopItems(false, kStartBatch, true);
  }
}

void Tfrm_Emails::a_BatchservereinstellenExecute(platform::TObject*) {
  const int i = ListBox1->ItemIndex();
  if (i < 0) return;
  const bool nimmtAuswahl = !BatchSession.busy;
  ServerEinstellen(BatchSession, serverliste, i);
  if (nimmtAuswahl) batch_Servername->SetCaption(ListBox1->Item(i));
}

void Tfrm_Emails::a_startBatchExecute(platform::TObject*) {
  if (Timer->Enabled()) return;
  batch_Servername->SetCaption(kKeinServer);
  if (BatchSession.aktuell < 0) return;
  batch_Servername->SetCaption(BatchSession.konto.host);

  // A number typed beyond the range counts as the nearest bound.
  const int minuten = std::clamp(batch_delInterval->Value(), kMinMinuten, kMaxMinuten);
  if (minuten != batch_delInterval->Value()) batch_delInterval->SetValue(minuten);
  Timer->SetOnTimer([this](platform::TObject* s) { a_autodeleteExecute(s); });
  Timer->SetInterval(minuten * g_msJeMinute);
  Timer->SetEnabled(true);

  SetStartStopItems(kStopBatch, false);
  lbl_Batchstatus->SetCaption(kBatchWartet);
  batchGestartet_ = true;
}

void Tfrm_Emails::A_stopBatchExecute(platform::TObject*) {
  Timer->SetEnabled(false);
  batchGestartet_ = false;
  batch_cb_Start->SetChecked(false);
  SetStartStopItems(kStartBatch, true);
  lbl_Batchstatus->SetCaption(kBatchPassiv);
}

void Tfrm_Emails::a_autodeleteExecute(platform::TObject*) {
  if (AutodeleteBusy || BatchSession.busy || BatchSession.aktuell == -1) return;
  AutodeleteBusy = true;
  Timer->SetEnabled(false);
  lbl_Batchstatus->SetCaption(kBatchLoescht);

  // However the run ends: state restored, the next interval counted from
  // now; a failure then goes on to the default error dialog. An interactive
  // list of the same mailbox stays as it is: its deletion pass checks every
  // marked message before the DELE and keeps those the run has moved.
  platform::ScopeExit danach([this] {
    if (batchGestartet_) {
      lbl_Batchstatus->SetCaption(kBatchWartet);
      // A "Start!" during the run has already switched it on: its interval
      // counts from that start.
      Timer->SetEnabled(true);
    }
    AutodeleteBusy = false;
  });

  const int32_t n = Autodelete(BatchSession, true);
  batch_protokoll->Lines().Add(platform::NowText() + kProtokollTrenner + platform::IntToStr(n));
  // As in the log: the marked messages that changed on the server.
  if (BatchSession.behalten > 0) batch_protokoll->Lines().Add(kProtokollTrenner + GeaendertMeldung(BatchSession.behalten));
}

void Tfrm_Emails::SpinEdit1Change(platform::TObject*) {
  batch_delInterval->SetValue(SpinEdit1->Value() * kMinutenJeStunde);
}

// ------------------------------------------------- parts nothing reaches

void Tfrm_Emails::Pop3Client2ConnectionFailed(platform::TObject*) {}

void Tfrm_Emails::Pop3Client1AuthenticationFailed(bool&) { M_protokoll->Lines().Add("Authentication failed"); }

void Tfrm_Emails::sg_listDrawCell(platform::TObject*) {}
