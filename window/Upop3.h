// The main window of the desktop program: the mailbox list and the spam
// definitions as editable text, the message grid of the selected mailbox,
// and the timed batch mode that cleans one mailbox every N minutes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "spamfilter/USpamfilter.h"
#include "window/UGUISpamfilter.h"
#include "window/desktop/ComCtrls.h"
#include "window/desktop/Forms.h"
#include "window/desktop/Grids.h"
#include "window/desktop/Memos.h"
#include "window/desktop/Menus.h"
#include "window/desktop/StdCtrls.h"
#include "window/desktop/Timer.h"

class QFileDialog;
class TPop3Client;

// Texts the window shows and reads by program.
inline constexpr const char* kFensterTitel = "Mailbox vandolen (POP3)";
inline constexpr const char* kAnwendungsTitel = "Mail Vandoler";
inline constexpr const char* kBatchPassiv = "+++ passiv +++";
inline constexpr const char* kBatchWartet = "+++ wartet +++";
inline constexpr const char* kBatchLoescht = "+++ löscht +++";
inline constexpr const char* kKeinServer = "-kein server-";
inline constexpr const char* kStartErstmals = "Start";
inline constexpr const char* kStartBatch = "Start!";
inline constexpr const char* kStopBatch = "Stop!";
inline constexpr const char* kHostPrefix = "Server: ";
inline constexpr const char* kProtokollTrenner = " +++: ";

// Outer size of the window.
inline constexpr int kFensterBreite = 902;
inline constexpr int kFensterHoehe = 592;
// Fewer lines than these (a last empty line not counted) are never saved.
inline constexpr int kMinZeilenServerliste = 3;
inline constexpr int kMinZeilenVirdefs = 2;
// The batch interval in minutes and in hours.
inline constexpr int kMinMinuten = 1;
inline constexpr int kMaxMinuten = 1440;
inline constexpr int kStartMinuten = 60;
inline constexpr int kMinStunden = 1;
inline constexpr int kMaxStunden = 24;
inline constexpr int kMillisekundenJeMinute = 60000;
inline constexpr int kMinutenJeStunde = 60;
// Grid columns 0 to 2 have fixed widths; 3 and 4 share what is left.
inline constexpr int kBreiteNr = 32;
inline constexpr int kBreiteMarke = 16;
inline constexpr int kBreiteGroesse = 48;
inline constexpr int kGridRest = 120;

class Tfrm_Emails : public desktop::TForm {
 public:
  explicit Tfrm_Emails(platform::TComponent* owner = nullptr);
  ~Tfrm_Emails() override;

  // --- components, in the order they are made
  desktop::TLabel* Label1;
  desktop::TPanel* Panel2;
  desktop::TButton* kn_UniClear;
  desktop::TButton* kn_clearTonline;
  desktop::TPanel* Panel1;
  desktop::TListBox* ListBox1;
  desktop::TPageControl* pg_batch;
  desktop::TTabSheet* TabSheet1;
  desktop::TPanel* Panel3;
  desktop::TLabel* batch_Servername;
  desktop::TStaticText* StaticText1;
  desktop::TSpinEdit* batch_delInterval;
  desktop::TStaticText* StaticText2;
  desktop::TSpinEdit* SpinEdit1;
  desktop::TLabel* lbl_Batchstatus;
  desktop::TLabel* Label4;
  desktop::TLabel* Label5;
  desktop::TCheckBox* batch_cb_Start;
  desktop::TMemo* batch_protokoll;
  desktop::TStatusBar* statusbar;
  desktop::TPageControl* PageControl1;
  desktop::TTabSheet* ts_mailList;
  desktop::TPanel* Panel4;
  desktop::TLabel* l_host;
  desktop::TStaticText* StaticText4;
  desktop::TButton* kn_DeleteMails;
  desktop::TLabel* Label3;
  desktop::TStringGrid* sg_list;
  desktop::TTabSheet* Ts_serverliste;
  desktop::TPanel* Panel5;
  desktop::TMemo* m_Serverliste;
  desktop::TTabSheet* Ts_Mailheader;
  desktop::TRichEdit* re_head;
  desktop::TTabSheet* ts_Mailbody;
  desktop::TRichEdit* re_body;
  desktop::TTabSheet* ts_virdefs;
  desktop::TPanel* Panel6;
  desktop::TMemo* M_virdefs;
  desktop::TTabSheet* TS_Info;
  desktop::TStaticText* StaticText3;
  desktop::TRichEdit* re_Info;
  desktop::TTabSheet* ts_protokoll;
  desktop::TPanel* Panel7;
  desktop::TMemo* M_protokoll;
  desktop::TTimer* Timer;
  TPop3Client* Pop3Client1;
  QFileDialog* dlg_Openfile;

  // --- actions
  desktop::TActionList* ActionList;
  desktop::TAction* a_serverlisteLaden;
  desktop::TAction* A_ServerlisteEditierenUebernehmen;
  desktop::TAction* A_serverlisteSpeichern;
  desktop::TAction* A_mailheaderLaden;
  desktop::TAction* a_mailheaderMarkieren;
  desktop::TAction* A_MailheaderLoeschen;
  desktop::TAction* a_serverlistToStringgrid;
  desktop::TAction* a_servereinstellen;
  desktop::TAction* A_ServerlisteEditierenAnfang;
  desktop::TAction* a_autodelete;
  desktop::TAction* a_startBatch;
  desktop::TAction* A_stopBatch;
  desktop::TAction* a_Virdefseinlesen;
  desktop::TAction* a_virdefsSchreiben;
  desktop::TAction* a_spamcheck;
  desktop::TAction* a_ShowInfo;
  desktop::TAction* a_Quit;
  desktop::TAction* a_batchEnableDisable;
  desktop::TAction* a_CopySpamMarkierungen;
  desktop::TAction* a_CopyNoSpamMarkierungen;

  // --- main menu
  desktop::TMainMenu* MainMenu1;
  desktop::TMenuItem* mm_datei;
  desktop::TMenuItem* mm_d_leseServerliste;
  desktop::TMenuItem* N3;
  desktop::TMenuItem* mm_d_EdiereServerliste;
  desktop::TMenuItem* mm_d_speserverliste;
  desktop::TMenuItem* N8;
  desktop::TMenuItem* mm_p_batch;
  desktop::TMenuItem* mm_p_batchStartStop;
  desktop::TMenuItem* N2;
  desktop::TMenuItem* mm_d_quit;
  desktop::TMenuItem* mm_Postfach;
  desktop::TMenuItem* mm_p_HoleMailheader;
  desktop::TMenuItem* mm_p_spamcheck;
  desktop::TMenuItem* mm_p_LoescheMarkierte;
  desktop::TMenuItem* N4;
  desktop::TMenuItem* mm_p_CopyMarkers;
  desktop::TMenuItem* mm_p_CopyUnmarkierte;
  desktop::TMenuItem* mm_virlist;
  desktop::TMenuItem* mm_vd_laden;
  desktop::TMenuItem* mm_vd_speichern;
  desktop::TMenuItem* N5;
  desktop::TMenuItem* mm_vd_Spamcheck;
  desktop::TMenuItem* N6;
  desktop::TMenuItem* mm_info;

  // --- popup menus
  desktop::TPopupMenu* pm_listbox;
  desktop::TMenuItem* pm_postholen;
  desktop::TMenuItem* pm_loescheMails;
  desktop::TMenuItem* N1;
  desktop::TMenuItem* LeseServerliste1;
  desktop::TMenuItem* pm_sluebernehmen;
  desktop::TMenuItem* pm_serverlisteSpeichern;
  desktop::TPopupMenu* pm_Serverlist;
  desktop::TMenuItem* pm_sl_serverlisteLaden1;
  desktop::TMenuItem* pm_sl_uebernehmen;
  desktop::TMenuItem* pm_sl_Speichern;
  desktop::TPopupMenu* Pm_virlist;
  desktop::TMenuItem* pm_vd_einlesen;
  desktop::TMenuItem* pm_vd_save;
  desktop::TMenuItem* N7;
  desktop::TMenuItem* pm_vd_anwenden;
  desktop::TPopupMenu* Pm_batch;
  desktop::TMenuItem* pm_b_onOff;
  desktop::TMenuItem* pm_b_startStop;
  desktop::TPopupMenu* Pm_Maillist;
  desktop::TMenuItem* pm_ml_headerLaden;
  desktop::TMenuItem* pm_ml_sendDelete;
  desktop::TMenuItem* pm_ml_Spamcheck;
  desktop::TMenuItem* N9;
  desktop::TMenuItem* pm_ml_Copy;
  desktop::TMenuItem* pm_m_CopyUnmarkierte;

  // --- start-up, help, quitting
  void FormCreate(platform::TObject* Sender);
  void a_ShowInfoExecute(platform::TObject* Sender);
  void a_QuitExecute(platform::TObject* Sender);

  // --- interactive work
  void a_serverlisteLadenExecute(platform::TObject* Sender);
  void A_ServerlisteEditierenUebernehmenExecute(platform::TObject* Sender);
  void A_serverlisteSpeichernExecute(platform::TObject* Sender);
  void a_servereinstellenExecute(platform::TObject* Sender);
  void A_mailheaderLadenExecute(platform::TObject* Sender);
  void A_MailheaderLoeschenExecute(platform::TObject* Sender);
  void sg_listDblClick(platform::TObject* Sender);
  void a_VirdefseinlesenExecute(platform::TObject* Sender);
  void a_virdefsSchreibenExecute(platform::TObject* Sender);
  void a_spamcheckExecute(platform::TObject* Sender);
  void a_CopySpamMarkierungenExecute(platform::TObject* Sender);
  void a_CopyNoSpamMarkierungenExecute(platform::TObject* Sender);

  // --- timed batch mode
  void a_batchEnableDisableExecute(platform::TObject* Sender);
  void a_BatchservereinstellenExecute(platform::TObject* Sender);
  void a_startBatchExecute(platform::TObject* Sender);
  void A_stopBatchExecute(platform::TObject* Sender);
  void a_autodeleteExecute(platform::TObject* Sender);
  void SpinEdit1Change(platform::TObject* Sender);

  // --- parts that nothing reaches
  void Pop3Client2ConnectionFailed(platform::TObject* Sender);
  void Pop3Client1AuthenticationFailed(bool& Handled);
  void sg_listDrawCell(platform::TObject* Sender);

  // True from a "Start!" that found a batch mailbox until the next stop.
  bool BatchGestartet() const { return batchGestartet_; }

  // Milliseconds the timer counts for one minute of the batch interval.
  // Only tests change it, to run the batch mode in a fraction of the time.
  static void SetMillisecondsPerMinuteForTests(int ms);
  static int MillisecondsPerMinute();

 private:
  void BuildComponents();
  void BuildActions();
  void BuildMenus();
  // Columns 0 to 2 fixed, 3 and 4 sharing what the grid's width leaves now.
  void SetGridColumnWidths();
  // Both start/stop items together: enabled state, caption, click.
  void SetStartStopItems(bool enabled, const std::string& caption, bool startsBatch);
  void SetStartStopItems(const std::string& caption, bool startsBatch);

  std::unique_ptr<tProtokollView> protokollAnsicht_;
  bool batchGestartet_ = false;
  int startRest_ = 0;  // width of columns 3 and 4 as start-up set them
};

// State of the unit, kept for the whole run of the program.
extern Tfrm_Emails* frm_Emails;
extern tpop3list serverliste;
extern tGUIMailboxMgmt GUISession;
extern tMailboxMgmt BatchSession;
extern bool AutodeleteBusy;

// Lines of a memo as a save counts them: a last, empty line does not count.
int GezaehlteZeilen(const desktop::TMemo& memo);
