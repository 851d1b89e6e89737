// Cost of the deletion pass's check. Before each DELE the pass asks for the
// message's header lines (TOP n 0) and, when they are the scan's, for its
// size (LIST n): two more round trips per marked message. A private Dovecot
// on 127.0.0.1 holds N messages, all marked; side by side, rotating round by
// round and each on a freshly filled mailbox:
//   checked    the core's pass: login, TOP n 0, LIST n and DELE n per
//              message, QUIT;
//   TOP + DELE the program's client with the header check alone, as the pass
//              was before it compared sizes: login, TOP n 0 and DELE n per
//              message, QUIT;
//   DELE alone the program's client without any check: login, DELE n per
//              message, QUIT.
// All end with the QUIT at which the server removes the messages. Prints the
// median time per marked message of each and the ratios, for the whole pass
// and for the commands between login and QUIT alone (where the check's round
// trips are; the server's removal at QUIT is the same work for both). The
// scan that the checked pass needs first is not timed.
//
//   deletion_bench [--messages N] [--rounds R]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/StringList.h"
#include "pop3client/Pop3Client.h"
#include "spamfilter/USpamfilter.h"
#include "tests/fixtures/DovecotServer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultMessages = 500;
constexpr int kDefaultRounds = 7;
constexpr std::size_t kMessageSize = 2000;
constexpr const char* kUser = "bench";
constexpr const char* kPassword = "bench-pw";
// Marks every message.
constexpr const char* kRules = "[SIZE]\r\nIN 0..2000000000\r\n";

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Expect(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what);
}

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Seconds of one pass: all of it, and from the login to the QUIT.
struct Zeit {
  double ganz = 0;
  double befehle = 0;
};

// Marks the end of the login and the start of the QUIT in the core's pass.
class Uhr : public tSessionObserver {
 public:
  void DeleteLoggedIn(tMailboxMgmt&) override { angemeldet = Clock::now(); }
  void DeleteClosing(tMailboxMgmt&) override { abmelden = Clock::now(); }
  Clock::time_point angemeldet, abmelden;
};

class Bench {
 public:
  explicit Bench(int messages) : messages_(messages) {
    server_.AddUser(kUser, kPassword);
    server_.Start();
    Init(s_, &owner_);
    s_.pop3->Port = server_.Port();
    tpop3list liste;
    platform::TStringList zeilen;
    zeilen.SetText("[MAILBOXEN]\r\n" + fixtures::DovecotServer::Host() + " " + kUser + " " + kPassword + "\r\n");
    ServerlisteUebernehmen(liste, zeilen);
    ServerEinstellen(s_, liste, 0);
    platform::TStringList regeln;
    regeln.SetText(kRules);
    VirdefsUebernehmen(s_, regeln);
    mails_ = fixtures::GenerateMessages(static_cast<std::size_t>(messages), {"Angebot der Woche"},
                                        {"Werbung <werbung@example.test>"}, kMessageSize);
  }

  // The core's pass, after an untimed scan and check.
  Zeit Checked() {
    Fill();
    MailheaderLaden(s_);
    Spamcheck(s_);
    Expect(SpamAnzahl(s_) == messages_, "not every message is marked");
    Uhr uhr;
    const auto t0 = Clock::now();
    MailheaderLoeschenSchritte(s_, &uhr);
    Zeit z{Since(t0), std::chrono::duration<double>(uhr.abmelden - uhr.angemeldet).count()};
    Expect(s_.behalten == 0, "the check kept unchanged messages");
    Expect(server_.Messages(kUser).empty(), "checked: messages left on the server");
    return z;
  }

  // The same deletions with the client alone: with TOP n 0 before each DELE
  // (`top`), or without any check.
  Zeit ClientAlone(bool top) {
    Fill();
    const auto t0 = Clock::now();
    TPop3Client client(&owner_);
    client.Host = fixtures::DovecotServer::Host();
    client.Port = server_.Port();
    client.TimeOut = kSessionTimeOutMs;
    client.UserID = kUser;
    client.Password = kPassword;
    client.Connect();
    const auto t1 = Clock::now();
    for (int n = 1; n <= messages_; ++n) {
      if (top) Expect(client.FetchHeader(n), "TOP refused");
      client.DeleteMessage(n);
    }
    const double befehle = Since(t1);
    client.Disconnect();
    Zeit z{Since(t0), befehle};
    Expect(server_.Messages(kUser).empty(), "client alone: messages left on the server");
    return z;
  }

 private:
  void Fill() {
    Expect(server_.Messages(kUser).empty(), "mailbox not empty before a round");
    server_.AddMessages(kUser, mails_);
  }

  int messages_;
  fixtures::DovecotServer server_;
  platform::TComponent owner_{nullptr};
  tMailboxMgmt s_;
  std::vector<std::string> mails_;
};

}  // namespace

int main(int argc, char** argv) {
  int messages = kDefaultMessages;
  int rounds = kDefaultRounds;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--messages") == 0) messages = std::max(1, std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::max(1, std::atoi(argv[i + 1]));
  }
  try {
    Bench bench(messages);
    // Warm-up of each, then rounds whose order rotates.
    bench.Checked();
    bench.ClientAlone(true);
    bench.ClientAlone(false);
    std::vector<Zeit> checked, topDele, alone;
    for (int r = 0; r < rounds; ++r) {
      for (int k = 0; k < 3; ++k) {
        switch ((r + k) % 3) {
          case 0: checked.push_back(bench.Checked()); break;
          case 1: topDele.push_back(bench.ClientAlone(true)); break;
          default: alone.push_back(bench.ClientAlone(false)); break;
        }
      }
    }
    // Median of one part of the rounds, in microseconds per marked message.
    auto proNachricht = [messages](const std::vector<Zeit>& zeiten, double Zeit::*teil) {
      std::vector<double> v;
      for (const Zeit& z : zeiten) v.push_back(z.*teil);
      return Median(v) / messages * 1e6;
    };
    std::printf("deletion pass: %d marked messages, Dovecot on 127.0.0.1, median of %d rounds\n", messages, rounds);
    std::printf("  us per marked message                 whole pass   login to QUIT\n");
    const double cg = proNachricht(checked, &Zeit::ganz), cb = proNachricht(checked, &Zeit::befehle);
    const double tg = proNachricht(topDele, &Zeit::ganz), tb = proNachricht(topDele, &Zeit::befehle);
    const double ag = proNachricht(alone, &Zeit::ganz), ab = proNachricht(alone, &Zeit::befehle);
    std::printf("  checked (TOP n 0 + LIST n + DELE n) %12.1f  %14.1f\n", cg, cb);
    std::printf("  TOP n 0 + DELE n (no size check)    %12.1f  %14.1f\n", tg, tb);
    std::printf("  DELE alone                          %12.1f  %14.1f\n", ag, ab);
    std::printf("  ratio checked / TOP n 0 + DELE n    %12.2f  %14.2f\n", cg / tg, cb / tb);
    std::printf("  ratio checked / DELE alone          %12.2f  %14.2f\n", cg / ag, cb / ab);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "deletion_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
