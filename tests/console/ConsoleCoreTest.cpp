#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "../spamfilter/CoreTestSupport.h"
#include "console/ConsoleSpamfilter.h"
#include "platform/Exceptions.h"
#include "pop3client/Pop3Client.h"

namespace {

class ConsoleCoreTest : public ::testing::Test {
 protected:
  coretest::ProgramFolder folder;
  platform::TComponent owner{nullptr};
  tMailboxMgmt s;
  void SetUp() override { Init(s, &owner); }
};

TEST_F(ConsoleCoreTest, MessagesByteForByte) {
  EXPECT_EQ(ServerlisteFehlertext(),
            "+++ Serverliste \r\n" + folder.File("Kelvo_Mailboxen.txt") + "\r\n   nicht gefunden");
  EXPECT_EQ(DefinitionenFehlertext(), "Definitionsdatei \r\n-->" + folder.File("Kelvo_Spamdefs.txt") + "   nicht gefunden.");
  EXPECT_STREQ(kVerbindungFehlertext, "Konnte nicht verbinden");
}

TEST_F(ConsoleCoreTest, MailboxListFileExampleOrCode1) {
  struct Case {
    const char* name;
    const char* real;     // nullptr: missing
    const char* example;  // nullptr: missing
    int32_t fehler;
    int32_t anzahl;
    const char* firstHost;
  } cases[] = {
      {"both missing", nullptr, nullptr, 1, 0, nullptr},
      {"only the example", nullptr, "[MAILBOXEN]\r\nbsp.de u p\r\n", 0, 1, "bsp.de"},
      {"real file wins", "[MAILBOXEN]\r\necht.de u p\r\nzwei.de u p\r\n", "[MAILBOXEN]\r\nbsp.de u p\r\n", 0, 2,
       "echt.de"},
      {"real file without entries", "; leer\r\n", "[MAILBOXEN]\r\nbsp.de u p\r\n", 0, 0, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(folder.File("Kelvo_Mailboxen.txt").c_str());
    ::unlink(folder.File("Kelvo_Mailboxen_Bsp.txt").c_str());
    if (c.real) folder.Write("Kelvo_Mailboxen.txt", c.real);
    if (c.example) folder.Write("Kelvo_Mailboxen_Bsp.txt", c.example);
    tpop3list l;
    ServerlisteLesen(l);
    EXPECT_EQ(l.fehler, c.fehler);
    EXPECT_EQ(l.anzahl, c.anzahl);
    EXPECT_EQ(static_cast<int32_t>(l.ids.size()), c.anzahl);
    if (c.fehler != 0) {
      EXPECT_EQ(l.fehlertext, ServerlisteFehlertext());
    }
    if (c.firstHost) {
      EXPECT_EQ(l.ids[0].host, c.firstHost);
    }
  }
}

TEST_F(ConsoleCoreTest, LoaderNeverClearsTheListCode) {
  tpop3list l;
  ServerlisteLesen(l);
  ASSERT_EQ(l.fehler, 1);
  folder.Write("Kelvo_Mailboxen.txt", "[MAILBOXEN]\r\na u p\r\n");
  ServerlisteLesen(l);
  EXPECT_EQ(l.fehler, 1);
  EXPECT_EQ(l.anzahl, 1);
}

TEST_F(ConsoleCoreTest, DefinitionsExampleOrCode2KeepingTheTable) {
  folder.Write("Kelvo_Spamdefs_Bsp.txt", "[SUBJECT]\r\n* beispiel\r\n");
  VirdefsLesen(s);
  EXPECT_EQ(s.fehler, 0);
  ASSERT_EQ(s.virdefs.size(), 2u);
  EXPECT_EQ(s.virdefs[1].muster, "BEISPIEL");

  ::unlink(folder.File("Kelvo_Spamdefs_Bsp.txt").c_str());
  VirdefsLesen(s);
  EXPECT_EQ(s.fehler, 2);
  EXPECT_EQ(s.fehlertext, DefinitionenFehlertext());
  ASSERT_EQ(s.virdefs.size(), 2u);  // unchanged
  EXPECT_EQ(s.virdefs[1].muster, "BEISPIEL");

  // The next load that finds a file parses it and leaves the code alone.
  folder.Write("Kelvo_Spamdefs.txt", "[FROM]\r\n* echt\r\n[SIZE]\r\nIN 1..2\r\n");
  VirdefsLesen(s);
  EXPECT_EQ(s.fehler, 2);
  ASSERT_EQ(s.virdefs.size(), 3u);
  EXPECT_EQ(s.virdefs[1].muster, "ECHT");
}

TEST_F(ConsoleCoreTest, BadSizeBoundPassesOnWithoutACode) {
  folder.Write("Kelvo_Spamdefs.txt", "[SIZE]\r\nIN 1..zwei\r\n");
  EXPECT_THROW(VirdefsLesen(s), platform::EConvertError);
  EXPECT_EQ(s.fehler, 0);
}

TEST_F(ConsoleCoreTest, ResetClearsTheCodeUnlessBusy) {
  s.fehler = 3;
  s.fehlertext = "x";
  s.busy = true;
  ServerZuruecksetzen(s);
  EXPECT_EQ(s.fehler, 3);
  s.busy = false;
  s.aktuell = 4;
  ServerZuruecksetzen(s);
  EXPECT_EQ(s.fehler, 0);
  EXPECT_EQ(s.fehlertext, "x");  // a message is never cleared
  EXPECT_EQ(s.aktuell, -1);
  EXPECT_TRUE(s.veraltet);
  // Init deselects the console way as well.
  s.fehler = 2;
  Init(s, &owner);
  EXPECT_EQ(s.fehler, 0);
}

// A loopback listener that only counts who knocks.
class Listener {
 public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd_); }
  int Port() const { return port_; }
  bool Knocked() const {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 100) > 0;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST_F(ConsoleCoreTest, NothingHappensWithoutASelectedMailbox) {
  Listener peer;
  s.konto = {0, "127.0.0.1", "u", "p"};
  s.pop3->Port = peer.Port();
  s.aktuell = -1;
  s.veraltet = false;  // would otherwise refuse the deletion by itself
  s.summaries.resize(2);
  s.summaries[1] = {1, 10, 1, "a", "b"};
  s.anzahl = 1;
  folder.Write("Kelvo_Spamdefs.txt", "[SUBJECT]\r\n* nichts\r\n");
  VirdefsLesen(s);
  MailheaderLaden(s);
  Spamcheck(s);
  MailheaderLoeschen(s);
  EXPECT_FALSE(peer.Knocked());
  EXPECT_EQ(s.fehler, 0);
  EXPECT_EQ(s.anzahl, 1);
  EXPECT_EQ(s.summaries[1].spam, 1);  // the check did not run
  EXPECT_FALSE(s.veraltet);
  EXPECT_FALSE(s.busy);
}

}  // namespace
