#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Convert.h"
#include "platform/Digest.h"
#include "platform/Exceptions.h"
#include "platform/Winsock.h"
#include "pop3client/Pop3Client.h"
#include "tests/fixtures/ScriptedPeer.h"

using fixtures::Script;
using fixtures::ScriptedPeer;
using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

namespace {


const char kOk[] = "+OK\r\n";

// Greeting and an accepted login answering STAT with `stat`.
Script LoggedIn(const std::string& stat = "+OK 2 320\r\n") {
  return Script().Send("+OK POP3 ready\r\n").Exchange("USER joe", kOk).Exchange("PASS secret", kOk).Exchange("STAT", stat);
}

const Lines kLoginCommands = {"USER joe", "PASS secret", "STAT"};

Lines Concat(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A client wired to the peer, recording its events in order.
struct Client {
  explicit Client(const ScriptedPeer& peer, int32_t timeOut = 5000) : pop(nullptr) {
    pop.Host = "127.0.0.1";
    pop.Port = peer.Port();
    pop.TimeOut = timeOut;
    pop.UserID = "joe";
    pop.Password = "secret";
    pop.OnConnect = [this](platform::TObject*) { events.push_back("connect"); };
    pop.OnDisconnect = [this](platform::TObject*) { events.push_back("disconnect"); };
    pop.OnConnectionFailed = [this](platform::TObject*) { events.push_back("connection failed"); };
    pop.OnRetrieveStart = [this](platform::TObject*) { events.push_back("retrieve start"); };
    pop.OnRetrieveEnd = [this](platform::TObject*) { events.push_back("retrieve end"); };
    pop.OnSuccess = [this](platform::TObject*) { events.push_back("success"); };
    pop.OnFailure = [this](platform::TObject*) { events.push_back("failure"); };
    pop.OnList = [this](int32_t msg, int32_t size) {
      events.push_back("list " + platform::IntToStr(msg) + " " + platform::IntToStr(size));
    };
  }
  // The login handler of the sessions: try once more.
  void RetryOnRejection() {
    pop.OnAuthenticationFailed = [this](bool& handled) {
      events.push_back("auth failed");
      handled = true;
    };
  }
  TPop3Client pop;
  Lines events;
};

// The failure text of f, "" when it succeeds.
std::string FailureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return std::string("!") + e.what();
  }
  return "";
}

struct Case {
  const char* name;
  Script script;
  std::function<void(Client&)> action;
  Lines commands;
  std::string failure;  // "" = success, else "!" and the message
  Lines events;
  std::function<void(Client&)> check = nullptr;
};

void RunCases(std::vector<Case>& cases, int32_t timeOut = 5000) {
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(std::move(c.script));
    Client client(peer, timeOut);
    std::string failure = FailureOf([&] { c.action(client); });
    EXPECT_EQ(failure, c.failure);
    EXPECT_TRUE(peer.WaitDone());
    EXPECT_EQ(peer.Commands(), c.commands);
    // Where the peer closes, whether its close notice is handled before the
    // read sees the end of the stream is up to timing: such cases list "*".
    if (c.events != Lines{"*"}) {
      EXPECT_EQ(client.events, c.events);
    }
    for (const auto& f : peer.Failures()) ADD_FAILURE() << "peer: " << f;
    EXPECT_FALSE(client.pop.CommandBusy());
    EXPECT_FALSE(client.pop.TimeOutTimer().Enabled());
    if (c.check) c.check(client);
  }
}

void ConnectAndQuit(Client& c) {
  c.pop.Connect();
  c.pop.Disconnect();
}

}  // namespace

TEST(Pop3Connect, StatGreetingAndLogin) {
  const Lines quitAfterLogin = Concat(kLoginCommands, {"QUIT"});
  auto count = [](int32_t expected) {
    return [expected](Client& c) { EXPECT_EQ(c.pop.MessageCount(), expected); };
  };
  std::vector<Case> cases;
  cases.push_back({"STAT with size", LoggedIn("+OK 5 1234\r\n").Exchange("QUIT", kOk), ConnectAndQuit,
                   quitAfterLogin, "", {"connect", "disconnect"}, count(5)});
  cases.push_back({"STAT without size", LoggedIn("+OK 5\r\n").Exchange("QUIT", kOk), ConnectAndQuit,
                   quitAfterLogin, "", {"connect", "disconnect"}, count(0)});
  cases.push_back({"bare STAT", LoggedIn("+OK\r\n").Exchange("QUIT", kOk), ConnectAndQuit, quitAfterLogin, "",
                   {"connect", "disconnect"}, count(0)});
  cases.push_back({"STAT over LF alone", LoggedIn("+OK 7 99\n").Exchange("QUIT", "+OK\n"), ConnectAndQuit,
                   quitAfterLogin, "", {"connect", "disconnect"}, count(7)});
  cases.push_back({"bare greeting",
                   Script().Send(kOk).Exchange("USER joe", kOk).Exchange("PASS secret", kOk).Exchange("STAT", "+OK 1 1\r\n").Exchange("QUIT", kOk),
                   ConnectAndQuit, quitAfterLogin, "", {"connect", "disconnect"}, count(1)});
  cases.push_back({"greeting refused", Script().Send("-ERR go away\r\n").Exchange("QUIT", kOk),
                   [](Client& c) { c.pop.Connect(); }, {"QUIT"}, "!-ERR go away\r\n", {"disconnect"},
                   count(0)});
  cases.push_back({"STAT refused", LoggedIn("-ERR locked\r\n").Exchange("QUIT", kOk),
                   [](Client& c) { c.pop.Connect(); }, quitAfterLogin, "!-ERR locked\r\n",
                   {"disconnect", "connect"}, count(0)});
  cases.push_back({"QUIT refused after the login", LoggedIn().Exchange("QUIT", "-ERR no\r\n"), ConnectAndQuit,
                   quitAfterLogin, "!-ERR no\r\n", {"connect", "disconnect"}});
  cases.push_back({"closed instead of answering QUIT", LoggedIn().Expect("QUIT").Close(), ConnectAndQuit,
                   quitAfterLogin, "!Connection closed by server", {"*"}});
  cases.push_back({"the clean-up QUIT's refusal replaces the first failure",
                   Script().Send("-ERR go away\r\n").Exchange("QUIT", "-ERR not now\r\n"),
                   [](Client& c) { c.pop.Connect(); }, {"QUIT"}, "!-ERR not now\r\n", {"disconnect"},
                   [](Client& c) { EXPECT_FALSE(c.pop.Connected()); }});
  RunCases(cases);
}

// A reply is positive when its first field, up to the first blank, holds
// "+OK" anywhere; a "+OK" after that blank does not count.
TEST(Pop3Connect, OnlyTheFirstFieldOfAReplyCounts) {
  struct Fall {
    std::string greeting;
    bool accepted;
  } faelle[] = {
      {"+OK ready\r\n", true},     {"+OK\r\n", true},        {"x+OKx ready\r\n", true},
      {"-ERR +OK\r\n", false},     {" +OK ready\r\n", false}, {"+O K\r\n", false},
  };
  std::vector<Case> cases;
  for (const Fall& f : faelle) {
    Script login = Script().Send(f.greeting);
    if (f.accepted) {
      login.Exchange("USER joe", kOk).Exchange("PASS secret", kOk).Exchange("STAT", "+OK 1 1\r\n");
      cases.push_back({f.greeting.c_str(), login.Exchange("QUIT", kOk), ConnectAndQuit,
                       Concat(kLoginCommands, {"QUIT"}), "", {"connect", "disconnect"}});
    } else {
      cases.push_back({f.greeting.c_str(), login.Exchange("QUIT", kOk), [](Client& c) { c.pop.Connect(); },
                       {"QUIT"}, "!" + f.greeting, {"disconnect"}});
    }
  }
  RunCases(cases);
}

TEST(Pop3Connect, LoginRetrySequences) {
  auto greet = [] { return Script().Send("+OK ready\r\n"); };
  const char* rejected = "-ERR wrong\r\n";
  std::vector<Case> cases;
  cases.push_back({"PASS rejected once, handler retries",
                   greet().Exchange("USER joe", kOk).Exchange("PASS secret", rejected).Exchange("USER joe", kOk)
                       .Exchange("PASS secret", kOk).Exchange("STAT", "+OK 3 30\r\n"),
                   [](Client& c) {
                     c.RetryOnRejection();
                     c.pop.Connect();
                   },
                   {"USER joe", "PASS secret", "USER joe", "PASS secret", "STAT"}, "",
                   {"auth failed", "connect"}, [](Client& c) {
                     EXPECT_EQ(c.pop.MessageCount(), 3);
                     EXPECT_TRUE(c.pop.Connected());
                   }});
  cases.push_back({"PASS rejected, no handler",
                   greet().Exchange("USER joe", kOk).Exchange("PASS secret", rejected).Exchange("QUIT", kOk),
                   [](Client& c) { c.pop.Connect(); }, {"USER joe", "PASS secret", "QUIT"},
                   "!Authentication failed", {"disconnect"}});
  cases.push_back({"PASS rejected, handler declines",
                   greet().Exchange("USER joe", kOk).Exchange("PASS secret", rejected).Exchange("QUIT", kOk),
                   [](Client& c) {
                     c.pop.OnAuthenticationFailed = [&c](bool& handled) {
                       c.events.push_back("auth failed");
                       handled = false;
                     };
                     c.pop.Connect();
                   },
                   {"USER joe", "PASS secret", "QUIT"}, "!Authentication failed", {"auth failed", "disconnect"}});
  cases.push_back({"PASS rejected twice",
                   greet().Exchange("USER joe", kOk).Exchange("PASS secret", rejected).Exchange("USER joe", kOk)
                       .Exchange("PASS secret", rejected).Exchange("QUIT", kOk),
                   [](Client& c) {
                     c.RetryOnRejection();
                     c.pop.Connect();
                   },
                   {"USER joe", "PASS secret", "USER joe", "PASS secret", "QUIT"}, "!Authentication failed",
                   {"auth failed", "disconnect"}});
  cases.push_back({"USER rejected once",
                   greet().Exchange("USER joe", rejected).Exchange("USER joe", kOk).Exchange("PASS secret", kOk)
                       .Exchange("STAT", "+OK 0 0\r\n").Exchange("QUIT", kOk),
                   [](Client& c) {
                     c.RetryOnRejection();
                     ConnectAndQuit(c);
                   },
                   {"USER joe", "USER joe", "PASS secret", "STAT", "QUIT"}, "",
                   {"auth failed", "connect", "disconnect"}});
  cases.push_back({"USER rejected twice",
                   greet().Exchange("USER joe", rejected).Exchange("USER joe", rejected).Exchange("QUIT", kOk),
                   [](Client& c) {
                     c.RetryOnRejection();
                     c.pop.Connect();
                   },
                   {"USER joe", "USER joe", "QUIT"}, "!Authentication failed", {"auth failed", "disconnect"}});
  RunCases(cases);
}

TEST(Pop3Connect, CredentialsAreCheckedBeforeAnyTraffic) {
  struct Cred {
    const char* name;
    std::string user, password;
    bool withHandler;
    std::string failure;
  } cases[] = {
      {"empty password", "joe", "", false, "Authentication failed"},
      {"empty user", "", "secret", false, "Authentication failed"},
      {"handler declines", "", "", true, "Authentication failed"},
      {"CR in password", "joe", "secret\r\nDELE 1", false, "User name or password holds a line break or NUL"},
      {"LF in user", "joe\nQUIT", "secret", false, "User name or password holds a line break or NUL"},
      {"NUL in password", "joe", std::string("se\0cret", 7), false, "User name or password holds a line break or NUL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedPeer peer(Script().Send("+OK\r\n"));
    Client client(peer);
    client.pop.UserID = c.user;
    client.pop.Password = c.password;
    int asked = 0;
    if (c.withHandler) client.pop.OnAuthenticationNeeded = [&](bool& handled) {
      ++asked;
      handled = false;
    };
    EXPECT_EQ(FailureOf([&] { client.pop.Connect(); }), "!" + c.failure);
    EXPECT_EQ(asked, c.withHandler ? 1 : 0);
    EXPECT_FALSE(client.pop.Connected());
    EXPECT_FALSE(client.pop.CommandBusy());
    EXPECT_EQ(peer.Conversations(), 0);
  }
}

TEST(Pop3Connect, NeededHandlerMayFillInTheCredentials) {
  ScriptedPeer peer(LoggedIn());
  Client client(peer);
  client.pop.Password = "";
  client.pop.OnAuthenticationNeeded = [&](bool& handled) {
    client.pop.Password = "secret";
    handled = true;
  };
  client.pop.Connect();
  EXPECT_EQ(client.pop.MessageCount(), 2);
  peer.WaitDone();
  EXPECT_EQ(peer.Commands(), kLoginCommands);
}

// A handler that says "handled" but leaves the password empty is asked
// once; the login goes on with the values as they are.
TEST(Pop3Connect, NeededHandlerThatFillsInNothing) {
  ScriptedPeer peer(Script().Send("+OK ready\r\n").Exchange("USER joe", kOk).Exchange("PASS ", kOk)
                        .Exchange("STAT", "+OK 0 0\r\n"));
  Client client(peer);
  client.pop.Password = "";
  int asked = 0;
  client.pop.OnAuthenticationNeeded = [&](bool& handled) {
    ++asked;
    handled = true;
  };
  client.pop.Connect();
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(client.pop.Connected());
  ASSERT_TRUE(peer.WaitDone());
  EXPECT_EQ(peer.Lines(), (Lines{"USER joe\r\n", "PASS \r\n", "STAT\r\n"}));
  EXPECT_TRUE(peer.Failures().empty());
}

TEST(Pop3Connect, AlreadyConnectedKeepsTheConnection) {
  ScriptedPeer peer(LoggedIn().Exchange("QUIT", kOk));
  Client client(peer);
  client.pop.Connect();
  EXPECT_EQ(FailureOf([&] { client.pop.Connect(); }), "!Already connected");
  EXPECT_TRUE(client.pop.Connected());
  client.pop.Disconnect();
  peer.WaitDone();
  EXPECT_EQ(peer.Commands(), Concat(kLoginCommands, {"QUIT"}));
}

TEST(Pop3Connect, RefusedConnection) {
  TPop3Client pop(nullptr);
  pop.Host = "127.0.0.1";
  pop.Port = fixtures::UnusedPort();
  pop.TimeOut = 5000;
  pop.UserID = "joe";
  pop.Password = "secret";
  int failed = 0;
  pop.OnConnectionFailed = [&](platform::TObject*) { ++failed; };
  EXPECT_EQ(FailureOf([&] { pop.Connect(); }), "!Connection Failed");
  EXPECT_EQ(failed, 1);
  EXPECT_FALSE(pop.CommandBusy());
}

// No network at all: the connect fails at once, through the same road as a
// refusal, and nothing stays busy.
TEST(Pop3Connect, WithoutNetwork) {
  bool ran = fixtures::RunWithoutNetwork([] {
    TPop3Client pop(nullptr);
    pop.Host = "127.0.0.1";
    pop.TimeOut = 10000;
    pop.UserID = "joe";
    pop.Password = "secret";
    Lines events;
    pop.OnConnectionFailed = [&](platform::TObject*) { events.push_back("connection failed"); };
    pop.OnDisconnect = [&](platform::TObject*) { events.push_back("disconnect"); };
    EXPECT_EQ(FailureOf([&] { pop.Connect(); }), "!Connection Failed");
    EXPECT_EQ(events, Lines{"connection failed"});
    EXPECT_FALSE(pop.CommandBusy());
    EXPECT_FALSE(pop.Connected());
  });
  if (!ran) GTEST_SKIP() << "no network namespace (needs root)";
}

TEST(Pop3Client, Defaults) {
  TPop3Client pop(nullptr);
  EXPECT_EQ(pop.Port, 110);
  EXPECT_EQ(pop.TimeOut, 0);
  EXPECT_EQ(pop.ReportLevel, 0);
  EXPECT_FALSE(pop.DeleteOnRead);
  EXPECT_FALSE(pop.CommandBusy());
  EXPECT_EQ(pop.MessageCount(), 0);
  EXPECT_EQ(pop.UUProcessor().Method, UUMethods::uuMime);
  pop.SetAttachFilePath("C:\\mail");
  EXPECT_EQ(pop.AttachFilePath(), "C:\\mail\\");
  pop.SetAttachFilePath("D:\\in\\");
  EXPECT_EQ(pop.AttachFilePath(), "D:\\in\\");
}

TEST(Pop3List, LinesAndConversionErrors) {
  // A listing that ends in a failure leaves the rest of the reply unread,
  // so only the good ones are followed by a QUIT.
  auto listing = [](const std::string& lines, bool quit) {
    Script s = LoggedIn().Exchange("LIST ", "+OK 2 messages\r\n").Send(lines);
    if (quit) s.Exchange("QUIT", kOk);
    return s;
  };
  auto listAndQuit = [](Client& c) {
    c.pop.Connect();
    c.events.clear();
    c.pop.ListSizes();
    c.pop.Disconnect();
  };
  const Lines good = Concat(kLoginCommands, {"LIST ", "QUIT"});
  const Lines bad = Concat(kLoginCommands, {"LIST "});
  std::vector<Case> cases;
  cases.push_back({"two lines", listing("1 1200\r\n2 340\r\n.\r\n", true), listAndQuit, good, "",
                   {"list 1 1200", "list 2 340", "disconnect"}});
  cases.push_back({"LF alone keeps every digit", listing("1 1200\n2 340\n.\n", true), listAndQuit, good, "",
                   {"list 1 1200", "list 2 340", "disconnect"}});
  cases.push_back({"empty listing", listing(".\r\n", true), listAndQuit, good, "", {"disconnect"}});
  cases.push_back({"negative numbers reach the handler as they are", listing("-1 -5\r\n.\r\n", true),
                   listAndQuit, good, "", {"list -1 -5", "disconnect"}});
  cases.push_back({"trailing field ignored", listing("3 12 extra\r\n.\r\n", true), listAndQuit, good, "",
                   {"list 3 12", "disconnect"}});
  cases.push_back({"two blanks", listing("1  340\r\n.\r\n", false), listAndQuit, bad,
                   "!" + platform::ConvertError("").Message(), {}});
  cases.push_back({"both fields bad names field 2", listing("x y\r\n.\r\n", false), listAndQuit, bad,
                   "!" + platform::ConvertError("y").Message(), {}});
  cases.push_back({"number out of range", listing("99999999999 5\r\n.\r\n", false), listAndQuit, bad,
                   "!" + platform::ConvertError("99999999999").Message(), {}});
  cases.push_back({"a failing handler ends the listing", listing("1 10\r\n2 20\r\n.\r\n", false),
                   [](Client& c) {
                     c.pop.Connect();
                     c.events.clear();
                     c.pop.OnList = [&c](int32_t msg, int32_t) {
                       c.events.push_back("list " + platform::IntToStr(msg));
                       throw platform::Exception("stop");
                     };
                     c.pop.ListSizes();
                   },
                   bad, "!stop", {"list 1"}});
  RunCases(cases);
}

TEST(Pop3List, WithoutHandlerLinesAreDropped) {
  ScriptedPeer peer(LoggedIn().Exchange("LIST ", kOk).Send("x y\r\n.\r\n").Exchange("QUIT", kOk));
  Client client(peer);
  client.pop.OnList = nullptr;
  client.pop.Connect();
  client.pop.ListSizes();  // bad numbers are not read without a handler
  client.pop.Disconnect();
  peer.WaitDone();
  EXPECT_EQ(peer.Commands(), Concat(kLoginCommands, {"LIST ", "QUIT"}));
}

TEST(Pop3List, BusyReentryFromTheListHandler) {
  ScriptedPeer peer(LoggedIn().Exchange("LIST ", kOk).Send("1 10\r\n2 20\r\n.\r\n").Exchange("QUIT", kOk));
  Client client(peer);
  client.pop.Connect();
  client.pop.Summary().Subject = "kept";
  int calls = 0;
  client.pop.OnList = [&](int32_t, int32_t) {
    ++calls;
    EXPECT_TRUE(client.pop.CommandBusy());
    client.pop.FetchSummary(1);
    client.pop.DeleteMessage(1);
    client.pop.ListSizes();
  };
  client.pop.ListSizes();
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(client.pop.Summary().Subject, "kept");
  client.pop.Disconnect();
  peer.WaitDone();
  EXPECT_EQ(peer.Commands(), Concat(kLoginCommands, {"LIST ", "QUIT"}));
  EXPECT_TRUE(peer.Failures().empty());
}

TEST(Pop3List, NotConnected) {
  TPop3Client pop(nullptr);
  EXPECT_EQ(FailureOf([&] { pop.ListSizes(); }), "!Not Connected");
  EXPECT_EQ(FailureOf([&] { pop.FetchSummary(1); }), "!Not Connected");
  EXPECT_EQ(FailureOf([&] { pop.DeleteMessage(1); }), "!Not Connected");
  EXPECT_FALSE(pop.CommandBusy());
  pop.Disconnect();  // nothing to do, nothing fired
}

namespace {

Script Fetching(const std::string& topReply, const std::string& header, const std::string& listReply) {
  Script s = LoggedIn().Exchange("TOP 1 0", topReply);
  if (!header.empty()) s.Send(header);
  if (!listReply.empty()) s.Exchange("LIST 1", listReply);
  return s.Exchange("QUIT", kOk);
}

void FetchOneAndQuit(Client& c) {
  c.pop.Connect();
  c.events.clear();
  try {
    c.pop.FetchSummary(1);
  } catch (...) {
    c.pop.Disconnect();
    throw;
  }
  c.pop.Disconnect();
}

// The summary's length and digest of a header received as `bytes`.
void ExpectWholeHeader(TPop3Client& pop, const std::string& bytes) {
  platform::TDigest64 d;
  d.Add(bytes);
  EXPECT_EQ(pop.Summary().HeaderLength, bytes.size());
  EXPECT_EQ(pop.Summary().HeaderDigest, d.Value());
}

}  // namespace

TEST(Pop3Fetch, HeaderFieldsAndLines) {
  const std::string header =
      "Return-Path: <a@b>\r\n"
      "From: Alice <a@b>\r\n"
      "Subject: Hello there\r\n"
      "Message-ID: <id1@b>\r\n"
      "X-Folded: one\r\n"
      "\ttwo\r\n"
      "..dotted\r\n"
      "\r\n"
      ".\r\n";
  const Lines commands = Concat(kLoginCommands, {"TOP 1 0", "LIST 1", "QUIT"});
  std::vector<Case> cases;
  cases.push_back({"CR LF header", Fetching("+OK\r\n", header, "+OK 1 1520\r\n"), FetchOneAndQuit, commands, "",
                   {"retrieve start", "retrieve end", "disconnect"}, [header](Client& c) {
                     TSummary& s = c.pop.Summary();
                     EXPECT_EQ(s.From, " Alice <a@b>");
                     EXPECT_EQ(s.Subject, " Hello there");
                     EXPECT_EQ(s.MessageId, "<id1@b>\r\n");
                     EXPECT_EQ(s.Bytes, 1520);
                     EXPECT_EQ(s.Header.Lines(),
                               (Lines{"Return-Path: <a@b>", "From: Alice <a@b>", "Subject: Hello there",
                                      "Message-ID: <id1@b>", "X-Folded: one", "\ttwo", "..dotted", "", "."}));
                     ExpectWholeHeader(c.pop, header);
                   }});
  cases.push_back({"LF alone", Fetching("+OK\n", "Subject: Hello\nFrom: x\n\n.\n", "+OK 1 77\n"),
                   FetchOneAndQuit, commands, "", {"retrieve start", "retrieve end", "disconnect"},
                   [](Client& c) {
                     EXPECT_EQ(c.pop.Summary().Subject, " Hello");
                     EXPECT_EQ(c.pop.Summary().From, " x");
                     EXPECT_EQ(c.pop.Summary().Bytes, 77);
                     EXPECT_EQ(c.pop.Summary().Header.Lines(), (Lines{"Subject: Hello", "From: x", "", "."}));
                     ExpectWholeHeader(c.pop, "Subject: Hello\nFrom: x\n\n.\n");
                   }});
  cases.push_back({"field names in other cases are not taken",
                   Fetching("+OK\r\n", "SUBJECT: a\r\nsubject: b\r\nFROM: c\r\nMessage-Id: <d>\r\n\r\n.\r\n",
                            "+OK 1 5\r\n"),
                   FetchOneAndQuit, commands, "", {"retrieve start", "retrieve end", "disconnect"},
                   [](Client& c) {
                     EXPECT_EQ(c.pop.Summary().Subject, "");
                     EXPECT_EQ(c.pop.Summary().From, "");
                     EXPECT_EQ(c.pop.Summary().MessageId, "");
                   }});
  cases.push_back({"a later line overwrites; long Message-ID is cut",
                   Fetching("+OK\r\n",
                            "Subject: first\r\nSubject:second\r\nMessage-ID: <" + std::string(300, 'm') +
                                ">\r\n\r\n.\r\n",
                            "+OK 1 5\r\n"),
                   FetchOneAndQuit, commands, "", {"retrieve start", "retrieve end", "disconnect"},
                   [](Client& c) {
                     EXPECT_EQ(c.pop.Summary().Subject, "second");
                     EXPECT_EQ(c.pop.Summary().MessageId, "<" + std::string(255, 'm'));
                   }});
  cases.push_back({"NUL bytes are kept", Fetching("+OK\r\n", std::string("Subject: a") + '\0' + "b\r\n\r\n.\r\n",
                                                  "+OK 1 5\r\n"),
                   FetchOneAndQuit, commands, "", {"retrieve start", "retrieve end", "disconnect"},
                   [](Client& c) { EXPECT_EQ(c.pop.Summary().Subject, std::string(" a\0b", 4)); }});
  RunCases(cases);
}

TEST(Pop3Fetch, RefusalsKeepWhatTheyShould) {
  auto previous = [](Client& c) {
    c.pop.Summary().Subject = "old";
    c.pop.Summary().Bytes = 42;
    c.pop.Summary().Header.Add("old line");
  };
  auto fetch = [previous](Client& c) {
    previous(c);
    FetchOneAndQuit(c);
  };
  std::vector<Case> cases;
  cases.push_back({"TOP refused", Fetching("-ERR no such message\r\n", "", ""), fetch,
                   Concat(kLoginCommands, {"TOP 1 0", "QUIT"}), "!-ERR no such message\r\n",
                   {"retrieve start", "disconnect"}, [](Client& c) {
                     EXPECT_EQ(c.pop.Summary().Subject, "old");
                     EXPECT_EQ(c.pop.Summary().Header.Lines(), Lines{"old line"});
                   }});
  cases.push_back({"LIST n refused", Fetching(kOk, "Subject: new\r\n\r\n.\r\n", "-ERR gone\r\n"), fetch,
                   Concat(kLoginCommands, {"TOP 1 0", "LIST 1", "QUIT"}),
                   "!" + platform::ConvertError("").Message(), {"retrieve start", "disconnect"},
                   [](Client& c) {
                     EXPECT_EQ(c.pop.Summary().Subject, " new");
                     EXPECT_EQ(c.pop.Summary().Bytes, 42);
                   }});
  cases.push_back({"LIST n size not a number", Fetching(kOk, "\r\n.\r\n", "+OK 1 12a\r\n"), fetch,
                   Concat(kLoginCommands, {"TOP 1 0", "LIST 1", "QUIT"}),
                   "!" + platform::ConvertError("12a").Message(), {"retrieve start", "disconnect"}});
  RunCases(cases);
}

// LIST n alone, as the deletion pass asks for a marked message's size: only
// a reply that names the message and a size counts.
TEST(Pop3Fetch, SizeAlone) {
  struct Fall {
    const char* name;
    std::string reply;
    bool found;
    int32_t bytes;
  } faelle[] = {
      {"size", "+OK 2 1520\r\n", true, 1520},
      {"LF alone", "+OK 2 77\n", true, 77},
      {"refused", "-ERR no such message\r\n", false, 42},
      {"another message", "+OK 3 1520\r\n", false, 42},
      {"no size", "+OK 2\r\n", false, 42},
      {"size not a number", "+OK 2 12a\r\n", false, 42},
  };
  for (const Fall& f : faelle) {
    SCOPED_TRACE(f.name);
    ScriptedPeer peer(LoggedIn().Exchange("LIST 2", f.reply).Exchange("QUIT", kOk));
    Client c(peer);
    c.pop.Connect();
    c.pop.Summary().Bytes = 42;
    EXPECT_EQ(c.pop.FetchSize(2), f.found);
    EXPECT_EQ(c.pop.Summary().Bytes, f.bytes);
    EXPECT_TRUE(c.pop.Connected());
    c.pop.Disconnect();
    EXPECT_TRUE(peer.WaitDone());
    EXPECT_EQ(peer.Commands(), Concat(kLoginCommands, {"LIST 2", "QUIT"}));
  }
  ScriptedPeer gone(LoggedIn().Expect("LIST 2").Close());
  Client c(gone);
  c.pop.Connect();
  // A number below 1 is refused before anything is sent.
  EXPECT_EQ(FailureOf([&] { c.pop.FetchSize(0); }), std::string("!") + platform::RangeError().what());
  EXPECT_EQ(FailureOf([&] { c.pop.FetchSize(2); }), "!Connection closed by server");
  EXPECT_TRUE(gone.WaitDone());
  EXPECT_EQ(gone.Commands(), Concat(kLoginCommands, {"LIST 2"}));
}

// With a line handler, every header line goes to it as read, the closing
// "." included, and none into the summary's lines; the fields are still
// taken.
TEST(Pop3Fetch, HeaderLinesHandedOn) {
  const std::string header = "From: a@b\r\nSubject: Hi\rthere\r\n\r\n.\r\n";
  ScriptedPeer peer(Fetching(kOk, header, "+OK 1 9\r\n"));
  Client c(peer);
  Lines handed;
  c.pop.OnHeaderLine = [&handed](std::string& line) { handed.push_back(line); };
  FetchOneAndQuit(c);
  EXPECT_EQ(handed, (Lines{"From: a@b", "Subject: Hi\rthere", "", "."}));
  EXPECT_EQ(c.pop.Summary().Header.Count(), 0);
  EXPECT_EQ(c.pop.Summary().From, " a@b");
  EXPECT_EQ(c.pop.Summary().Bytes, 9);
  // The whole header as it came, the bare CR and every line end included.
  ExpectWholeHeader(c.pop, header);
}

// A handler that replaces the event while it runs still gets every line of
// the reply under way; only the next reply goes by the new setting.
TEST(Pop3Fetch, HandlerSetAtTheReplysStartTakesAllItsLines) {
  const std::string header = "From: a@b\r\nSubject: Hi\r\n\r\n.\r\n";
  ScriptedPeer peer(Fetching(kOk, header, "+OK 1 9\r\n"));
  Client c(peer);
  Lines first, second;
  c.pop.OnHeaderLine = [&](std::string& line) {
    first.push_back(line);
    c.pop.OnHeaderLine = [&second](std::string& l) { second.push_back(l); };
  };
  FetchOneAndQuit(c);
  EXPECT_EQ(first, (Lines{"From: a@b", "Subject: Hi", "", "."}));
  EXPECT_TRUE(second.empty());
  EXPECT_EQ(c.pop.Summary().Header.Count(), 0);
}

// The lines of a reply are read into one text, reused: no line may keep
// bytes of the line before it, whatever their ends and lengths (up to the
// longest line the socket takes), whether they are handed on or kept. Each
// shape follows each other one: the shapes in order, then backwards.
TEST(Pop3Fetch, LinesOfEveryShapeAfterEachOther) {
  const std::string longest = "X-Lang: " + std::string(TSocketBase::kLineLimit - 8 - 2, 'l');
  const std::string longestLf(TSocketBase::kLineLimit - 1, 'm');
  struct Shape {
    std::string bytes;  // as the server sends it
    std::string line;   // as the client gives it
  };
  std::vector<Shape> shapes = {
      {longest + "\r\n", longest},     {"Subject: a\r\n", "Subject: a"}, {longestLf + "\n", longestLf},
      {"X-LF: b\n", "X-LF: b"},         {"X-CR: c\rd\r\n", "X-CR: c\rd"}, {"X-Vor: e\r\r\n", "X-Vor: e\r"},
      {"\tf\r\n", "\tf"},
  };
  const std::vector<Shape> forwards = shapes;
  shapes.insert(shapes.end(), forwards.rbegin() + 1, forwards.rend());
  std::string header;
  Lines expected;
  for (const Shape& shape : shapes) {
    header += shape.bytes;
    expected.push_back(shape.line);
  }
  header += "\r\n.\r\n";
  expected.insert(expected.end(), {"", "."});

  for (const bool handedOn : {true, false}) {
    SCOPED_TRACE(handedOn ? "handed on" : "kept in the summary");
    ScriptedPeer peer(Fetching(kOk, header, "+OK 1 9\r\n"));
    Client c(peer);
    Lines handed;
    if (handedOn) c.pop.OnHeaderLine = [&handed](std::string& line) { handed.push_back(line); };
    FetchOneAndQuit(c);
    EXPECT_TRUE(peer.WaitDone());
    EXPECT_EQ(handedOn ? handed : c.pop.Summary().Header.Lines(), expected);
    EXPECT_EQ(c.pop.Summary().Subject, " a");
    ExpectWholeHeader(c.pop, header);
  }
}

TEST(Pop3Delete, Replies) {
  auto deleting = [](const std::string& reply) {
    return LoggedIn().Exchange("DELE 2", reply).Exchange("QUIT", kOk);
  };
  auto deleteAndQuit = [](Client& c) {
    c.pop.Connect();
    c.events.clear();
    try {
      c.pop.DeleteMessage(2);
    } catch (...) {
      c.pop.Disconnect();
      throw;
    }
    c.pop.Disconnect();
  };
  const Lines commands = Concat(kLoginCommands, {"DELE 2", "QUIT"});
  std::vector<Case> cases;
  cases.push_back({"+OK", deleting("+OK deleted\r\n"), deleteAndQuit, commands, "", {"success", "disconnect"}});
  cases.push_back({"bare -ERR counts as accepted", deleting("-ERR\r\n"), deleteAndQuit, commands, "",
                   {"success", "disconnect"}});
  cases.push_back({"-ERR with text", deleting("-ERR no such message\r\n"), deleteAndQuit, commands,
                   "!-ERR no such message\r\n", {"failure", "disconnect"}});
  cases.push_back({"small letters count as accepted", deleting("-err nope\r\n"), deleteAndQuit, commands, "",
                   {"success", "disconnect"}});
  cases.push_back({"connection gone", LoggedIn().Expect("DELE 2").Close(),
                   [](Client& c) {
                     c.pop.Connect();
                     c.events.clear();
                     c.pop.DeleteMessage(2);
                   },
                   Concat(kLoginCommands, {"DELE 2"}), "!Connection closed by server", {"*"},
                   // The close notice may have closed the socket first.
                   [](Client& c) { EXPECT_EQ(c.events.back(), "failure"); }});
  RunCases(cases);
}

TEST(Pop3Disconnect, TwiceSendsOneQuit) {
  ScriptedPeer peer(LoggedIn().Exchange("QUIT", "+OK bye\r\n"));
  Client client(peer);
  client.pop.Connect();
  client.pop.Disconnect();
  client.pop.Disconnect();
  peer.WaitDone();
  EXPECT_EQ(peer.Commands(), Concat(kLoginCommands, {"QUIT"}));
  EXPECT_EQ(client.events, (Lines{"connect", "disconnect"}));
}

TEST(Pop3Client, ReusedForLaterConversations) {
  ScriptedPeer peer(LoggedIn("+OK 4 40\r\n").Exchange("QUIT", kOk).Accept().Send("+OK again\r\n")
                        .Exchange("USER joe", kOk).Exchange("PASS secret", kOk).Exchange("STAT", "+OK 1 10\r\n")
                        .Exchange("DELE 1", kOk).Exchange("QUIT", kOk));
  Client client(peer);
  client.pop.Connect();
  EXPECT_EQ(client.pop.MessageCount(), 4);
  client.pop.Disconnect();
  client.pop.Connect();
  EXPECT_EQ(client.pop.MessageCount(), 1);
  client.pop.DeleteMessage(1);
  client.pop.Disconnect();
  ASSERT_TRUE(peer.WaitDone());
  EXPECT_EQ(peer.Conversations(), 2);
  EXPECT_TRUE(peer.Failures().empty());
}

TEST(Pop3TimeOut, EveryWaitingStep) {
  const int32_t timeOut = 150;
  // Each peer falls silent until its case has failed: only the time-out can
  // end the wait (a peer that gave up would close, a different failure).
  std::vector<std::shared_ptr<fixtures::Gate>> silences;
  auto silent = [&silences](Script s) {
    silences.push_back(std::make_shared<fixtures::Gate>());
    return s.AwaitGate(silences.back());
  };
  auto fetch = [](Client& c) {
    c.pop.Connect();
    c.pop.FetchSummary(1);
  };
  std::vector<Case> cases;
  cases.push_back({"greeting", silent(Script()), [](Client& c) { c.pop.Connect(); }, {},
                   "!Socket readln aborted", {"disconnect"}});
  cases.push_back({"USER", silent(Script().Send("+OK\r\n").Expect("USER joe")), [](Client& c) { c.pop.Connect(); },
                   {"USER joe"}, "!Socket readln aborted", {"disconnect"}});
  cases.push_back({"PASS", silent(Script().Send("+OK\r\n").Exchange("USER joe", kOk).Expect("PASS secret")),
                   [](Client& c) { c.pop.Connect(); }, {"USER joe", "PASS secret"}, "!Socket readln aborted",
                   {"disconnect"}});
  // The expiry closes the connection, and Disconnect closes the fresh
  // socket once more, as after any failed QUIT.
  cases.push_back({"QUIT inside Disconnect", silent(LoggedIn().Expect("QUIT")), ConnectAndQuit,
                   Concat(kLoginCommands, {"QUIT"}), "!Socket readln aborted",
                   {"connect", "disconnect", "disconnect"}});
  cases.push_back({"STAT", silent(Script().Send("+OK\r\n").Exchange("USER joe", kOk).Exchange("PASS secret", kOk)
                                      .Expect("STAT")),
                   [](Client& c) { c.pop.Connect(); }, kLoginCommands, "!Socket readln aborted",
                   {"disconnect", "connect"}});
  cases.push_back({"header line", silent(LoggedIn().Exchange("TOP 1 0", kOk).Send("Subject: x\r\n")), fetch,
                   Concat(kLoginCommands, {"TOP 1 0"}), "!Socket readln aborted",
                   {"connect", "retrieve start", "disconnect"}});
  cases.push_back({"LIST without its lines", silent(LoggedIn().Exchange("LIST ", "-ERR\r\n")),
                   [](Client& c) {
                     c.pop.Connect();
                     c.pop.ListSizes();
                   },
                   Concat(kLoginCommands, {"LIST "}), "!Socket readln aborted", {"connect", "disconnect"}});
  cases.push_back({"DELE", silent(LoggedIn().Expect("DELE 1")),
                   [](Client& c) {
                     c.pop.Connect();
                     c.pop.DeleteMessage(1);
                   },
                   Concat(kLoginCommands, {"DELE 1"}), "!Socket readln aborted", {"connect", "disconnect"}});
  ASSERT_EQ(silences.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    auto action = cases[i].action;
    auto silence = silences[i];
    cases[i].action = [action, silence](Client& cl) {
      try {
        action(cl);
      } catch (const EAbortError&) {
        silence->Open();
        EXPECT_FALSE(cl.pop.Connected());
        throw;
      } catch (...) {
        silence->Open();
        throw;
      }
      silence->Open();
    };
  }
  // Each peer goes on once its case has failed, so WaitDone comes.
  RunCases(cases, timeOut);
}

// Replies no sane server sends. Each ends with a clear failure or a correct
// result, inside the time-outs, holding a bounded amount.
TEST(Pop3Hostile, Replies) {
  const Lines listCommands = Concat(kLoginCommands, {"LIST "});
  auto list = [](Client& c) {
    c.pop.Connect();
    c.events.clear();
    c.pop.ListSizes();
  };
  auto fetch = [](Client& c) {
    c.pop.Connect();
    c.events.clear();
    c.pop.FetchSummary(1);
  };
  std::string overlong = std::string(70000, 'a') + "\r\n";
  std::string endlessHeader;
  while (endlessHeader.size() <= TPop3Client::kMaxHeaderBytes + 100000) {
    endlessHeader += "X-Filler: " + std::string(1000, 'f') + "\r\n";
  }
  std::vector<Case> cases;
  cases.push_back({"overlong LIST line", LoggedIn().Exchange("LIST ", kOk).Send(overlong), list, listCommands,
                   std::string("!") + platform::RangeError().what(), {}});
  cases.push_back({"no final dot before close", LoggedIn().Exchange("LIST ", kOk).Send("1 10\r\n").Close(), list,
                   listCommands, "!Connection closed by server", {"*"},
                   [](Client& c) { EXPECT_EQ(c.events.at(0), "list 1 10"); }});
  cases.push_back({"header cut off by close", LoggedIn().Exchange("TOP 1 0", kOk).Send("Subject: a\r\n").Close(),
                   fetch, Concat(kLoginCommands, {"TOP 1 0"}), "!Connection closed by server", {"*"},
                   [](Client& c) { EXPECT_EQ(c.pop.Summary().Subject, " a"); }});
  cases.push_back({"one byte at a time",
                   LoggedIn().Expect("LIST ").Trickle("+OK\r\n1 120\r\n2 7\r\n.\r\n").Exchange("QUIT", kOk),
                   [list](Client& c) {
                     list(c);
                     c.pop.Disconnect();
                   },
                   Concat(listCommands, {"QUIT"}), "", {"list 1 120", "list 2 7", "disconnect"}});
  cases.push_back({"endless header", LoggedIn().Exchange("TOP 1 0", kOk).Send(endlessHeader), fetch,
                   Concat(kLoginCommands, {"TOP 1 0"}), "!Header of message 1 exceeds 4 MiB",
                   {"retrieve start", "disconnect"}, [](Client& c) {
                     EXPECT_FALSE(c.pop.Connected());
                     EXPECT_EQ(c.pop.Summary().Header.Count(), 0);
                   }});
  cases.push_back({"dot line with trailing blank is no end",
                   LoggedIn().Exchange("LIST ", kOk).Send(". \r\n").Close(), list, listCommands,
                   "!" + platform::ConvertError("").Message(), {}});
  RunCases(cases);
}

// The peer resets after a whole LIST line and a part of the next, once the
// client has taken both. Whether the pump's close notice or the read meets
// the reset first, it reads as the reset: the seam holds the one or the
// other until the reset is visible.
TEST(Pop3Hostile, ResetMidReply) {
  using Held = fixtures::HangUpFirstSource::Held;
  for (const Held held : {Held::PumpPoll, Held::StepWait}) {
    SCOPED_TRACE(held == Held::PumpPoll ? "the close notice first" : "the read first");
    auto gate = std::make_shared<fixtures::Gate>();
    ScriptedPeer peer(LoggedIn().Exchange("LIST ", kOk).Send("1 10\r\n2 2").AwaitGate(gate).Reset());
    Client client(peer, 10000);
    client.pop.Connect();
    client.events.clear();
    // The first line and the part after it came in one piece: once the
    // line is reported, the part waits in the layer, and the next wait
    // comes after the read has taken it.
    std::unique_ptr<fixtures::HangUpFirstSource> seam;
    client.pop.OnList = [&](int32_t msg, int32_t size) {
      client.events.push_back("list " + platform::IntToStr(msg) + " " + platform::IntToStr(size));
      uint32_t waiting = 0;
      EXPECT_EQ(platform::ioctlsocket(client.pop.SocketHandle(), platform::FIONREAD, &waiting), 0);
      EXPECT_EQ(waiting, 3u);
      seam = std::make_unique<fixtures::HangUpFirstSource>(gate, held);
    };
    EXPECT_EQ(FailureOf([&] { client.pop.ListSizes(); }), "!10054:Connection reset by peer");
    ASSERT_TRUE(seam);
    EXPECT_TRUE(seam->HeldPollSawHangUp());
    seam.reset();
    EXPECT_EQ(client.events.at(0), "list 1 10");
    EXPECT_FALSE(client.pop.TimedOut());
    EXPECT_FALSE(client.pop.CommandBusy());
    // Whatever the QUIT meets on the dead connection, the socket is closed.
    FailureOf([&] { client.pop.Disconnect(); });
    EXPECT_FALSE(client.pop.Connected());
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_TRUE(peer.Failures().empty());
  }
}

TEST(Pop3Hostile, OutOfRangeMessageNumbersAreRefused) {
  ScriptedPeer peer(LoggedIn().Exchange("QUIT", kOk));
  Client client(peer);
  client.pop.Connect();
  EXPECT_EQ(FailureOf([&] { client.pop.FetchSummary(0); }), std::string("!") + platform::RangeError().what());
  EXPECT_EQ(FailureOf([&] { client.pop.DeleteMessage(-3); }), std::string("!") + platform::RangeError().what());
  EXPECT_FALSE(client.pop.CommandBusy());
  client.pop.Disconnect();
  peer.WaitDone();
  EXPECT_EQ(peer.Commands(), Concat(kLoginCommands, {"QUIT"}));
}

// A server that closes or resets in the middle of a reply ends the step at
// once. The time-out is long: a step that sleeps instead fails with
// "Socket readln aborted". Whether the close notice or the read meets the
// close first decides only when "disconnect" comes.
TEST(Pop3Closes, ServerGoneEndsTheStepAtOnce) {
  const std::string longLine = "X-Long: " + std::string(10000, 'h') + "\r\n";
  auto fetch = [](Client& c) {
    c.pop.Connect();
    c.events.clear();
    c.pop.FetchSummary(1);
  };
  auto started = [](Client& c) { EXPECT_EQ(c.events.at(0), "retrieve start"); };
  std::vector<Case> cases;
  cases.push_back({"greeting without line end, close", Script().Send("+OK hal").Close(),
                   [](Client& c) { c.pop.Connect(); }, {}, "!Connection closed by server", {"disconnect"}});
  cases.push_back({"TOP reply without line end, close",
                   LoggedIn().Exchange("TOP 1 0", kOk).Send("Subject: hal").Close(), fetch,
                   Concat(kLoginCommands, {"TOP 1 0"}), "!Connection closed by server", {"*"}, started});
  cases.push_back({"long header line, close", LoggedIn().Exchange("TOP 1 0", kOk).Send(longLine).Close(), fetch,
                   Concat(kLoginCommands, {"TOP 1 0"}), "!Connection closed by server", {"*"},
                   [longLine, started](Client& c) {
                     started(c);
                     ASSERT_EQ(c.pop.Summary().Header.Count(), 1);
                     EXPECT_TRUE(c.pop.Summary().Header[0] == longLine.substr(0, longLine.size() - 2));
                   }});
  cases.push_back({"header cut off by a reset",
                   LoggedIn().Exchange("TOP 1 0", kOk).Send("Subject: a\r\nX-Cut: ").Reset(), fetch,
                   Concat(kLoginCommands, {"TOP 1 0"}), "!10054:Connection reset by peer", {"*"}, started});
  cases.push_back({"LIST lines cut off by a close", LoggedIn().Exchange("LIST ", kOk).Send("1 10\r\n2").Close(),
                   [](Client& c) {
                     c.pop.Connect();
                     c.events.clear();
                     c.pop.ListSizes();
                   },
                   Concat(kLoginCommands, {"LIST "}), "!Connection closed by server", {"*"},
                   [](Client& c) { EXPECT_EQ(c.events.at(0), "list 1 10"); }});
  RunCases(cases, 10000);
}

// The QUIT reply and the server's close or reset arrive together, and the
// pump's notice poll sees both before the read: the reply is still read at
// once, and the logout has succeeded (the server has committed the
// deletions), a reset after the reply as much as a close. A reset instead
// of the reply leaves that unknown: the logout fails with the reset.
TEST(Pop3Closes, QuitReplyThatComesWithTheCloseOrAReset) {
  struct Case {
    const char* name;
    std::function<Script(Script)> peer;  // after the QUIT and the gate
    std::string failure;
  } cases[] = {
      {"reply, close", [](Script s) { return s.Send("+OK bye\r\n").Close(); }, ""},
      {"reply, reset", [](Script s) { return s.Send("+OK bye\r\n").Reset(); }, ""},
      {"reset instead of the reply", [](Script s) { return s.Reset(); }, "!10054:Connection reset by peer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto gate = std::make_shared<fixtures::Gate>();
    ScriptedPeer peer(c.peer(LoggedIn().Expect("QUIT").AwaitGate(gate)));
    Client client(peer, 10000);
    client.pop.Connect();
    fixtures::HangUpFirstSource seam(gate);
    EXPECT_EQ(FailureOf([&] { client.pop.Disconnect(); }), c.failure);
    EXPECT_TRUE(seam.HeldPollSawHangUp());
    EXPECT_FALSE(client.pop.TimedOut());  // read at once, not after a time-out
    if (c.failure.empty()) {
      EXPECT_EQ(client.events, (Lines{"connect", "disconnect"}));
    }
    EXPECT_FALSE(client.pop.Connected());
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_EQ(peer.Commands(), Concat(kLoginCommands, {"QUIT"}));
    EXPECT_TRUE(peer.Failures().empty());
  }
}

// A LIST reply with more lines than the cap ends with a failure and a
// closed connection instead of reading on.
TEST(Pop3List, LineCap) {
  std::string lines;
  lines.reserve(static_cast<size_t>(TPop3Client::kMaxListLines + 1) * 5);
  for (int32_t i = 0; i <= TPop3Client::kMaxListLines; ++i) lines += "1 1\r\n";
  ScriptedPeer peer(LoggedIn().Exchange("LIST ", kOk).Send(lines).Pause(10000ms));
  Client client(peer);
  client.pop.OnList = nullptr;
  client.pop.Connect();
  client.events.clear();
  EXPECT_EQ(FailureOf([&] { client.pop.ListSizes(); }), "!Too many lines in the LIST reply");
  EXPECT_FALSE(client.pop.Connected());
  EXPECT_FALSE(client.pop.CommandBusy());
  EXPECT_EQ(client.events, Lines{"disconnect"});
}

TEST(Pop3Client, DestroyWhileConnectedSendsNoQuit) {
  ScriptedPeer peer(LoggedIn().AwaitClose());
  int disconnects = 0;
  {
    Client client(peer);
    client.pop.OnDisconnect = [&](platform::TObject*) { ++disconnects; };
    client.pop.Connect();
  }
  ASSERT_TRUE(peer.WaitDone());
  EXPECT_EQ(peer.Commands(), kLoginCommands);
  EXPECT_EQ(peer.ClientCloses(), Lines{"reset"});
  EXPECT_EQ(disconnects, 0);
  EXPECT_EQ(TSocketBase::StartupCount(), 0);
}

TEST(Pop3Client, AbortClosesWithoutQuit) {
  ScriptedPeer peer(LoggedIn().AwaitClose());
  Client client(peer);
  client.pop.Connect();
  client.events.clear();
  client.pop.Abort();
  EXPECT_FALSE(client.pop.Connected());
  EXPECT_TRUE(client.pop.Canceled());
  EXPECT_EQ(client.events, Lines{"disconnect"});
  client.pop.Abort();  // not connected: closes nothing more
  EXPECT_EQ(client.events, Lines{"disconnect"});
  ASSERT_TRUE(peer.WaitDone());
  EXPECT_EQ(peer.Commands(), kLoginCommands);
  EXPECT_EQ(peer.ClientCloses(), Lines{"reset"});
}
