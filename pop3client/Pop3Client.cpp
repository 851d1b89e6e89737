#include "pop3client/Pop3Client.h"

#include <cstring>
#include <string_view>

#include "platform/Convert.h"
#include "platform/Digest.h"
#include "platform/ScopeExit.h"

namespace {

const char kAuthenticationFailed[] = "Authentication failed";
const char kClosedByServer[] = "Connection closed by server";
const char kLineBreakInCredentials[] = "User name or password holds a line break or NUL";
// Reported after every message: made once, not for every call.
const std::string kSummaryRetrieved = "Summary Retrieved";

// The server's reply counts as positive when its first field holds "+OK"
// anywhere (case as given), line end included for a bare "+OK".
// Field 1 is looked at in place: every reply is tested.
bool Positive(const std::string& reply) {
  const std::string_view field1 = std::string_view(reply).substr(0, reply.find(' '));
  return field1.find("+OK") != std::string_view::npos;
}

// Untrusted server line: the line end that is actually there goes, CR LF
// or a lone LF. Cut in place: the line is kept, not copied.
void CutLineEnd(std::string& line) {
  size_t n = line.size();
  if (n >= 2 && line[n - 2] == '\r' && line[n - 1] == '\n') line.resize(n - 2);
  else if (n >= 1 && line[n - 1] == '\n') line.resize(n - 1);
}

// The prefix's length is known where it is written: every header line is
// tested for three of them.
bool StartsWith(const std::string& s, std::string_view prefix) {
  return s.size() >= prefix.size() && std::memcmp(s.data(), prefix.data(), prefix.size()) == 0;
}

bool HoldsLineBreak(const std::string& s) { return s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos; }

void Fire(const platform::TNotifyEvent& event, platform::TObject* sender) {
  if (!event) return;
  platform::TNotifyEvent handler = event;  // the handler may replace the event
  handler(sender);
}

}  // namespace

TPop3Client::TPop3Client(platform::TComponent* owner)
    : TSocketBase(owner),
      summary_(std::make_unique<TSummary>()),
      mailMessage_(std::make_unique<TMailMessage>()),
      uuProcessor_(new TUUProcessor(this)) {
  Port = kDefaultPort;
}

TPop3Client::~TPop3Client() {
  BeginDestroy();
  // An open conversation ends without QUIT: nothing marked is deleted.
  try {
    Abort();
  } catch (...) {
  }
}

void TPop3Client::SetAttachFilePath(const std::string& path) {
  attachFilePath_ = path;
  if (attachFilePath_.empty() || attachFilePath_.back() != '\\') attachFilePath_ += '\\';
}

void TPop3Client::Abort() {
  ReportStatus(kStatusStep, "Abort");
  Cancel();
  if (Connected()) {
    TSocketBase::Disconnect();
    ClearInput();
  }
}

void TPop3Client::Connect() {
  bool asked = false;
  while (Password.empty() || UserID.empty()) {
    if (!OnAuthenticationNeeded) throw platform::Exception(kAuthenticationFailed);
    if (asked) break;
    asked = true;
    bool handled = false;
    platform::THandlerEvent handler = OnAuthenticationNeeded;
    handler(handled);
    if (!handled) throw platform::Exception(kAuthenticationFailed);
  }
  // A line break would end the command early and smuggle in a second one.
  if (HoldsLineBreak(UserID) || HoldsLineBreak(Password)) throw platform::Exception(kLineBreakInCredentials);

  const bool wasBusy = commandBusy_;
  commandBusy_ = true;
  bool loginDone = false;
  auto finish = [&] {
    if (!wasBusy) commandBusy_ = false;
    if (loginDone) Fire(OnConnect, this);
  };

  try {
    TSocketBase::Connect();
    try {
      std::string greeting;
      ReadLn(greeting);
      // Closed before a whole greeting came: the same failure as when the
      // clean-up QUIT meets the close.
      if (greeting.empty()) throw platform::Exception(kClosedByServer);
      if (!Positive(greeting)) throw platform::Exception(greeting);

      for (int attempt = 1;; ++attempt) {
        bool accepted = Positive(Transaction("USER " + UserID));
        if (accepted) accepted = Positive(Transaction("PASS " + Password));
        if (accepted) break;
        if (attempt >= 2 || !OnAuthenticationFailed) throw platform::Exception(kAuthenticationFailed);
        bool handled = false;
        platform::THandlerEvent handler = OnAuthenticationFailed;
        handler(handled);
        if (!handled) throw platform::Exception(kAuthenticationFailed);
      }

      loginDone = true;
      std::string stat = Transaction("STAT");
      if (!Positive(stat)) throw platform::Exception(stat);
      messageCount_ = platform::TryStrToInt(NthWord(stat, ' ', 2)).value_or(0);
    } catch (...) {
      // QUIT while the connection is still open; a failure of this clean-up
      // reaches the caller in place of the first.
      Disconnect();
      throw;
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

void TPop3Client::Disconnect() {
  if (!Connected()) return;
  std::string reply;
  try {
    Transaction("QUIT", reply);
  } catch (...) {
    TSocketBase::Disconnect();
    throw;
  }
  TSocketBase::Disconnect();
  // A server that closes instead of answering has said nothing to report.
  if (reply.empty()) throw platform::Exception(kClosedByServer);
  if (!Positive(reply)) throw platform::Exception(reply);
}

void TPop3Client::ReadReplyLine(std::string& line) {
  ReadLn(line);
  // A server that has gone away answers with nothing; reading on would wait
  // for lines that never come.
  if (line.empty()) throw platform::Exception(kClosedByServer);
}

void TPop3Client::ListSizes() {
  if (commandBusy_) return;
  commandBusy_ = true;
  platform::ScopeExit notBusy([this] { commandBusy_ = false; });
  CheckConnected();
  Transaction("LIST ");
  std::string line;
  for (int32_t lines = 0;; ++lines) {
    // Untrusted: lines are cut at their real end and their numbers read
    // strictly.
    ReadReplyLine(line);
    CutLineEnd(line);
    if (line == ".") break;
    if (lines >= kMaxListLines) {
      TSocketBase::Disconnect();
      throw platform::Exception("Too many lines in the LIST reply");
    }
    if (OnList) {
      int32_t size = platform::StrToInt(NthWord(line, ' ', 2));
      int32_t msg = platform::StrToInt(NthWord(line, ' ', 1));
      TListEvent handler = OnList;
      handler(msg, size);
    }
  }
}

bool TPop3Client::ReadTop(int32_t number, std::string& reply) {
  reply = Transaction("TOP " + platform::IntToStr(number) + " 0");
  if (!Positive(reply)) return false;

  TSummary& s = *summary_;
  s.Header.Clear();
  s.Subject.clear();
  s.From.clear();
  s.MessageId.clear();
  platform::TDigest64 digest;
  s.HeaderLength = 0;
  s.HeaderDigest = digest.Value();
  size_t held = 0;
  std::string line;
  // The handler set when the reply starts takes all its lines: one copy a
  // reply, not one a line, and a handler that replaces the event cannot
  // free itself while it runs.
  const THeaderLineEvent handler = OnHeaderLine;
  for (;;) {
    // Untrusted header lines: bounded in total, cut at their real end.
    ReadReplyLine(line);
    held += line.size();
    if (held > kMaxHeaderBytes) {
      s.Header.Clear();
      TSocketBase::Disconnect();
      throw platform::Exception("Header of message " + platform::IntToStr(number) + " exceeds " +
                                platform::IntToStr(kMaxHeaderBytes / (1024 * 1024)) + " MiB");
    }
    // Before anything is cut: the whole header, as it came, is what tells
    // one message from another.
    digest.Add(line);
    // The message id keeps the line end; the other fields and the stored
    // line do not. The line itself moves into the header (the next one is
    // then read into a fresh text); a handler gets the reused text.
    // A cut-off "Message-ID:" without a line end gives an empty id.
    if (StartsWith(line, "Message-ID:") && line.size() >= 12) s.MessageId.assign(line, 12, kMessageIdLength);
    CutLineEnd(line);
    if (StartsWith(line, "Subject:")) s.Subject.assign(line, 8);
    if (StartsWith(line, "From:")) s.From.assign(line, 5);
    const bool last = line == ".";
    if (handler) {
      handler(line);
    } else {
      s.Header.Add(std::move(line));
    }
    if (last) break;
  }
  s.HeaderLength = held;
  s.HeaderDigest = digest.Value();
  return true;
}

void TPop3Client::FetchSummary(int32_t number) {
  if (commandBusy_) return;
  commandBusy_ = true;
  platform::ScopeExit notBusy([this] { commandBusy_ = false; });
  CheckConnected();
  if (number < 1) throw platform::RangeError();
  Fire(OnRetrieveStart, this);

  std::string reply;
  if (!ReadTop(number, reply)) throw platform::Exception(reply);

  TSummary& s = *summary_;
  std::string sizeReply = Transaction("LIST " + platform::IntToStr(number));
  if (sizeReply.empty()) throw platform::Exception(kClosedByServer);
  s.Bytes = platform::StrToInt(platform::Trim(NthWord(sizeReply, ' ', 3)));
  ReportStatus(kStatusResult, kSummaryRetrieved);
  Fire(OnRetrieveEnd, this);
}

bool TPop3Client::FetchHeader(int32_t number) {
  if (commandBusy_) return false;
  commandBusy_ = true;
  platform::ScopeExit notBusy([this] { commandBusy_ = false; });
  CheckConnected();
  if (number < 1) throw platform::RangeError();
  std::string reply;
  if (ReadTop(number, reply)) return true;
  // No reply at all is no refusal: the server has gone.
  if (reply.empty()) throw platform::Exception(kClosedByServer);
  return false;
}

bool TPop3Client::FetchSize(int32_t number) {
  if (commandBusy_) return false;
  commandBusy_ = true;
  platform::ScopeExit notBusy([this] { commandBusy_ = false; });
  CheckConnected();
  if (number < 1) throw platform::RangeError();
  // Untrusted reply "+OK n size": it counts only when it names this
  // message and its size is a number.
  std::string reply = Transaction("LIST " + platform::IntToStr(number));
  if (reply.empty()) throw platform::Exception(kClosedByServer);
  if (!Positive(reply)) return false;
  CutLineEnd(reply);
  if (platform::TryStrToInt(NthWord(reply, ' ', 2)) != number) return false;
  std::optional<int32_t> size = platform::TryStrToInt(platform::Trim(NthWord(reply, ' ', 3)));
  if (!size) return false;
  summary_->Bytes = *size;
  return true;
}

void TPop3Client::DeleteMessage(int32_t number) {
  if (commandBusy_) return;
  bool accepted = false;
  {
    commandBusy_ = true;
    platform::ScopeExit notBusy([this] { commandBusy_ = false; });
    CheckConnected();
    if (number < 1) throw platform::RangeError();
    std::string reply = Transaction("DELE " + platform::IntToStr(number));
    if (reply.empty()) {
      // The connection is gone: nothing was deleted.
      Fire(OnFailure, this);
      throw platform::Exception(kClosedByServer);
    }
    if (NthWord(reply, ' ', 1) == "-ERR") {
      Fire(OnFailure, this);
      throw platform::Exception(reply);
    }
    accepted = true;
  }
  if (accepted) Fire(OnSuccess, this);
}
