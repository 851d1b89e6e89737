// TPop3Client against a real POP3 server: a private Dovecot instance on a
// loopback port. What the client reports must be what the server holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "pop3client/Pop3Client.h"
#include "tests/fixtures/DovecotServer.h"

using fixtures::DovecotServer;
using fixtures::GenerateMessages;
using fixtures::HeaderLines;
using fixtures::MakeMessage;
using fixtures::MessageSpec;
using fixtures::Pop3Size;

namespace {

const char kUser[] = "carol";
const char kPassword[] = "carol-pw";

class Pop3Dovecot : public ::testing::Test {
 protected:
  void SetUp() override {
    server.AddUser(kUser, kPassword);
    messages = GenerateMessages(8, {"Cheap pills", "Minutes of the meeting", "Hallo Welt"},
                                {"spam@bad.test", "Boss <boss@good.test>"});
    MessageSpec big;
    big.subject = "Large one";
    big.pop3Size = 50000;
    messages.push_back(MakeMessage(big, 100));
    messages.push_back("From: crlf@x.test\r\nSubject: stored with CR LF\r\nMessage-ID: <crlf@x>\r\n\r\nbody\r\n");
    messages.push_back("From: mixed@x.test\nSubject:no blank\r\n\nbody\n");
    server.AddMessages(kUser, messages);
    server.Start();
  }

  void Configure(TPop3Client& pop) {
    pop.Host = DovecotServer::Host();
    pop.Port = server.Port();
    pop.TimeOut = 10000;
    pop.UserID = kUser;
    pop.Password = kPassword;
  }

  static std::string Field(const std::string& message, const std::string& name) {
    for (const auto& line : HeaderLines(message)) {
      if (line.rfind(name, 0) == 0) return line.substr(name.size());
    }
    return "";
  }

  DovecotServer server;
  std::vector<std::string> messages;
};

}  // namespace

TEST_F(Pop3Dovecot, CountSizesAndHeadersAsTheServerHoldsThem) {
  TPop3Client pop(nullptr);
  Configure(pop);
  pop.Connect();
  ASSERT_EQ(pop.MessageCount(), static_cast<int32_t>(messages.size()));

  std::vector<std::pair<int32_t, int32_t>> listed;
  pop.OnList = [&](int32_t msg, int32_t size) { listed.emplace_back(msg, size); };
  pop.ListSizes();
  pop.OnList = nullptr;
  ASSERT_EQ(listed.size(), messages.size());

  for (size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE("message " + std::to_string(i + 1));
    const int32_t n = static_cast<int32_t>(i + 1);
    const auto size = static_cast<int32_t>(Pop3Size(messages[i]));
    EXPECT_EQ(listed[i], std::make_pair(n, size));

    pop.FetchSummary(n);
    TSummary& s = pop.Summary();
    std::vector<std::string> expected = HeaderLines(messages[i]);
    expected.push_back("");
    expected.push_back(".");
    EXPECT_EQ(s.Header.Lines(), expected);
    EXPECT_EQ(s.Bytes, size);
    EXPECT_EQ(s.Subject, Field(messages[i], "Subject:"));
    EXPECT_EQ(s.From, Field(messages[i], "From:"));
    std::string id = Field(messages[i], "Message-ID:");
    // The value keeps the line end the server sent after it.
    EXPECT_EQ(s.MessageId, id.empty() ? "" : id.substr(1) + "\r\n");
  }
  pop.Disconnect();
  EXPECT_FALSE(pop.Connected());
  EXPECT_EQ(server.Messages(kUser), messages);
}

TEST_F(Pop3Dovecot, DeletionTakesEffectWithQuitOnly) {
  TPop3Client pop(nullptr);
  Configure(pop);

  // Deleted, then the conversation ends without QUIT: nothing goes.
  pop.Connect();
  pop.DeleteMessage(1);
  pop.Abort();
  EXPECT_FALSE(pop.Connected());
  EXPECT_EQ(server.Messages(kUser), messages);

  // Deleted and logged out: the server removes them.
  int successes = 0;
  pop.OnSuccess = [&](platform::TObject*) { ++successes; };
  pop.Connect();
  pop.DeleteMessage(2);
  pop.DeleteMessage(4);
  pop.Disconnect();
  EXPECT_EQ(successes, 2);
  std::vector<std::string> left = messages;
  left.erase(left.begin() + 3);
  left.erase(left.begin() + 1);
  EXPECT_EQ(server.Messages(kUser), left);

  // The next conversation sees what is left, renumbered.
  pop.Connect();
  EXPECT_EQ(pop.MessageCount(), static_cast<int32_t>(left.size()));
  pop.FetchSummary(2);
  std::vector<std::string> expected = HeaderLines(left[1]);
  expected.push_back("");
  expected.push_back(".");
  EXPECT_EQ(pop.Summary().Header.Lines(), expected);
  // A message deleted twice in one conversation: the server refuses the
  // second, and the refusal is the failure.
  pop.DeleteMessage(1);
  int failures = 0;
  pop.OnFailure = [&](platform::TObject*) { ++failures; };
  EXPECT_THROW(pop.DeleteMessage(1), platform::Exception);
  EXPECT_EQ(failures, 1);
  pop.Disconnect();
  EXPECT_EQ(server.Messages(kUser).size(), left.size() - 1);
}
