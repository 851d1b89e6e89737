// vandomat: the desktop program. Cleans POP3 mailboxes by hand, message by
// message, or every N minutes in its batch mode.
#include <csignal>

#include "platform/Component.h"
#include "platform/Runtime.h"
#include "spamfilter/DataFiles.h"
#include "window/Upop3.h"
#include "window/desktop/Forms.h"

int main(int argc, char** argv) {
  // A save past the file size limit fails like any failed write.
  std::signal(SIGXFSZ, SIG_IGN);
  // The data files live next to the program.
  DatenpfadeSetzen(platform::ProgramFolder());

  desktop::TDesktopApplication app(argc, argv);
  platform::Application().Title = kAnwendungsTitel;
  QApplication::setApplicationName(QStringLiteral("vandomat"));

  desktop::CreateForm<Tfrm_Emails>();
  desktop::Run();

  // The window frees both sessions' POP3 clients with it.
  delete frm_Emails;
  return 0;
}
