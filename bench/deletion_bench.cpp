// Cost of the deletion pass's check. Before each DELE the pass asks for the
// message's header lines (TOP n 0) and compares them with those of the scan,
// one more round trip per marked message. A private Dovecot on 127.0.0.1
// holds N messages, all marked; side by side, alternating round by round and
// each on a freshly filled mailbox:
//   checked    the core's pass: login, TOP n 0 and DELE n per message, QUIT;
//   DELE alone the program's client without the check: login, DELE n per
//              message, QUIT.
// Both end with the QUIT at which the server removes the messages. Prints the
// median time per marked message of both and their ratio; the scan that the
// checked pass needs first is not timed.
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

  // Seconds of the core's pass, after an untimed scan and check.
  double Checked() {
    Fill();
    MailheaderLaden(s_);
    Spamcheck(s_);
    Expect(SpamAnzahl(s_) == messages_, "not every message is marked");
    const auto t0 = Clock::now();
    MailheaderLoeschen(s_);
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    Expect(s_.behalten == 0, "the check kept unchanged messages");
    Expect(server_.Messages(kUser).empty(), "checked: messages left on the server");
    return seconds;
  }

  // Seconds of the same deletions without the check.
  double DeleAlone() {
    Fill();
    const auto t0 = Clock::now();
    TPop3Client client(&owner_);
    client.Host = fixtures::DovecotServer::Host();
    client.Port = server_.Port();
    client.TimeOut = kSessionTimeOutMs;
    client.UserID = kUser;
    client.Password = kPassword;
    client.Connect();
    for (int n = 1; n <= messages_; ++n) client.DeleteMessage(n);
    client.Disconnect();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    Expect(server_.Messages(kUser).empty(), "DELE alone: messages left on the server");
    return seconds;
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
    // Warm-up of each, then alternating rounds.
    bench.Checked();
    bench.DeleAlone();
    std::vector<double> checked, alone;
    for (int r = 0; r < rounds; ++r) {
      if (r % 2 == 0) {
        checked.push_back(bench.Checked());
        alone.push_back(bench.DeleAlone());
      } else {
        alone.push_back(bench.DeleAlone());
        checked.push_back(bench.Checked());
      }
    }
    const double c = Median(checked) / messages * 1e6;
    const double a = Median(alone) / messages * 1e6;
    std::printf("deletion pass: %d marked messages, Dovecot on 127.0.0.1, median of %d rounds\n", messages, rounds);
    std::printf("  checked (TOP n 0 + DELE n) %9.1f us per marked message\n", c);
    std::printf("  DELE alone                 %9.1f us per marked message\n", a);
    std::printf("  ratio (checked / DELE alone): %.2f\n", c / a);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "deletion_bench: %s\n", e.what());
    return 1;
  }
  return 0;
}
