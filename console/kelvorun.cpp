// kelvorun: cleans the first mailbox of the list, or every mailbox whose
// server name is given on the command line, once; for cron.
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "console/ConsoleSpamfilter.h"
#include "platform/Convert.h"
#include "platform/Exceptions.h"
#include "platform/Runtime.h"
#include "spamfilter/USpamfilter.h"

namespace {

tpop3list serverliste;
// Lives until the process ends: freeing every entry of the last scan on the
// way out would only cost time, each scan frees the one before.
tMailboxMgmt& ConsoleSession = *new tMailboxMgmt();

// Message of a failed write to standard output.
constexpr const char* kSchreibfehler = "E/A-Fehler beim Schreiben";

// Console lines end in CR LF, as the cron mails of the users expect.
void Write(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
    throw platform::EInOutError(kSchreibfehler);
}
void WriteLn(const std::string& text) { Write(text + "\r\n"); }
void Flush() {
  if (std::fflush(stdout) != 0) throw platform::EInOutError(kSchreibfehler);
}

void CleanMailbox(int index) {
  ConsoleSession.fehler = 0;
  int32_t markiert = 0;
  int32_t behalten = 0;  // marked, but changed on the server: not deleted
  try {
    ServerEinstellen(ConsoleSession, serverliste, index);
    WriteLn("Mailbox:" + serverliste.ids[index].host);
    VirdefsLesen(ConsoleSession);
    ProtokollSchreiben(ConsoleSession, "TIM", serverliste.ids[index].host);
    if (ConsoleSession.fehler == 0) {
      Write("Mailheader:...");
      Flush();
      MailheaderLaden(ConsoleSession);
      WriteLn(platform::IntToStr(ConsoleSession.anzahl));
      if (ConsoleSession.fehler == 0) {
        Spamcheck(ConsoleSession);
        markiert = SpamAnzahl(ConsoleSession);
        WriteLn("Viren:" + platform::IntToStr(markiert));
        Write("L\xC3\xB6schen:...");
        Flush();
        MailheaderLoeschen(ConsoleSession);
        behalten = ConsoleSession.behalten;
        WriteLn("gel\xC3\xB6scht");
      }
    }
  } catch (...) {
    ProtokollSchreiben(ConsoleSession, "TIM", " +++: " + platform::IntToStr(markiert));
    throw;
  }
  ProtokollSchreiben(ConsoleSession, "TIM", " +++: " + platform::IntToStr(markiert));
  if (behalten > 0) ProtokollSchreiben(ConsoleSession, "COMM", " +++: " + GeaendertMeldung(behalten));
  if (ConsoleSession.fehler != 0) {
    WriteLn("+++ Fehler:" + ConsoleSession.fehlertext);
    ProtokollSchreiben(ConsoleSession, "COMM", " +++: " + ConsoleSession.fehlertext);
  }
}

void Run(const std::vector<std::string>& args) {
  WriteLn("Auto-Kelvo: running...");
  serverliste.fehler = 0;
  ServerlisteLesen(serverliste);
  if (serverliste.fehler != 0) {
    WriteLn(serverliste.fehlertext);
    return;
  }
  Init(ConsoleSession, nullptr);
  VirdefsLesen(ConsoleSession);
  if (ConsoleSession.fehler != 0) {
    WriteLn(ConsoleSession.fehlertext);
    return;
  }
  WriteLn("Virendefinitionen: " + spamdefsDatei);
  ProtokollSchreiben(ConsoleSession, "COMM", "--- Start ---");
  if (args.empty()) {
    if (serverliste.anzahl > 0) CleanMailbox(0);
    return;
  }
  for (const std::string& arg : args) {
    const std::string wanted = platform::UpperCase(arg);
    for (int i = 0; i < serverliste.anzahl; ++i) {
      if (platform::UpperCase(serverliste.ids[i].host) == wanted) CleanMailbox(i);
    }
  }
}

// The run-time's report of a failure that nothing handled.
void ReportFailure(const char* className, const std::string& message) {
  std::string text = message;
  if (!text.empty() && text.back() != '.') text += '.';
  char head[512];
  std::snprintf(head, sizeof head, "Exception %s in Modul %s bei %08X.", className,
                platform::ProgramFileName().c_str(),
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(&CleanMailbox)));
  std::string report = std::string(head) + "\r\n" + text + "\r\n\r\n";
  std::fwrite(report.data(), 1, report.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe on standard output must end the run as a failed write
  // (exit code 1), not kill the program.
  std::signal(SIGPIPE, SIG_IGN);
  // A log or standard output past the file size limit is a failed write too.
  std::signal(SIGXFSZ, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    try {
      Run(args);
    } catch (...) {
      WriteLn("Auto-Kelvo: ... finished");
      throw;
    }
    WriteLn("Auto-Kelvo: ... finished");
    Flush();
  } catch (const std::exception& e) {
    ReportFailure(platform::FailureClassName(e), platform::FailureMessage(e));
    return 1;
  }
  return 0;
}
