// vandomat_shot FOLDER: shows the real main window with the data files of
// FOLDER and a demo mailbox on a private Dovecot (127.0.0.1), and saves
// pictures of the screen in the states a user sees: after start-up, with a
// loaded and checked message list and batch mode on, each page, and the
// error dialog with a short text and with markup in it. For
// looking at the layout under a virtual display; not a test of behaviour.
#include <QApplication>
#include <QMenuBar>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <string>
#include <utility>

#include "platform/Component.h"
#include "platform/Exceptions.h"
#include "pop3client/Pop3Client.h"
#include "spamfilter/DataFiles.h"
#include "tests/fixtures/DovecotServer.h"
#include "window/Upop3.h"
#include "window/desktop/Dialogs.h"
#include "window/desktop/Forms.h"

namespace {

void Settle() {
  for (int i = 0; i < 20; ++i) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QThread::msleep(10);
  }
}

void Shot(const std::string& folder, const std::string& name) {
  Settle();
  QScreen* screen = QGuiApplication::primaryScreen();
  const std::string path = folder + "/shot-" + name + ".png";
  if (!screen->grabWindow(0).save(QString::fromStdString(path))) std::fprintf(stderr, "cannot save %s\n", path.c_str());
  std::printf("%s\n", path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vandomat_shot FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  fixtures::DovecotServer server;
  server.AddUser("demo", "demo123");
  const char* mails[][2] = {{"Anna Berg <anna@example.org>", "Treffen am Donnerstag"},
                            {"Gewinnspiel <info@spam.example>", "Sie haben gewonnen"},
                            {"Bernd <bernd@example.org>", "Re: Urlaubsfotos"},
                            {"Lottoservice <service@example.net>", "Ihr LOTTO-Gewinn wartet"},
                            {"newsletter@shop.example", "Angebote der Woche"},
                            {"Clara <clara@example.org>", "Rechnung Nr. 4711"},
                            {"Apotheke <apo@example.net>", "V.i.a.g.r.a billig"}};
  int n = 0;
  for (const auto& m : mails) {
    fixtures::MessageSpec spec;
    spec.from = m[0];
    spec.subject = m[1];
    server.AddMessage("demo", fixtures::MakeMessage(spec, ++n));
  }
  server.Start();

  DatenpfadeSetzen(folder);
  desktop::TDesktopApplication app(argc, argv);
  platform::Application().Title = kAnwendungsTitel;
  desktop::CreateForm<Tfrm_Emails>();
  Tfrm_Emails* f = frm_Emails;
  GUISession.pop3->Port = server.Port();
  f->show();
  Shot(folder, "start");

  f->ListBox1->SetItemIndex(0);
  f->ListBox1->Click();
  f->A_mailheaderLaden->Execute();
  f->sg_list->SelectRows(3, 3);
  f->sg_list->DblClick();
  f->mm_p_batch->Click();
  Shot(folder, "loaded");

  for (desktop::TTabSheet* page : {f->Ts_serverliste, f->ts_virdefs, f->TS_Info}) {
    f->PageControl1->SetActivePage(page);
    Shot(folder, page->Name);
  }
  f->PageControl1->SetActivePageIndex(0);
  f->MainMenu1->MenuBar()->setActiveAction(f->mm_datei->QtAction());
  Shot(folder, "menu");
  f->MainMenu1->MenuBar()->setActiveAction(nullptr);

  // The default error dialog with a short text, and with server text that
  // looks like markup.
  const std::pair<const char*, const char*> boxes[] = {
      {"box-short", "-ERR x"},
      {"box-markup", "-ERR <h1>Konto gesperrt</h1> <font color=red>jetzt</font> <a href='http://x.test'>hier</a>"}};
  for (const auto& [name, text] : boxes) {
    QTimer::singleShot(300, [&folder, name = name] {
      Shot(folder, name);
      if (QWidget* box = QApplication::activeModalWidget()) box->close();
    });
    desktop::ShowException(platform::Exception(text));
  }
  delete f;
  return 0;
}
