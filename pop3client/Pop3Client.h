// The POP3 client component: login (USER, PASS, STAT), the list of message
// sizes, the header lines of one message, deletion and logout. Every
// operation blocks its caller while the thread's messages keep flowing and
// raises an exception on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "platform/StringList.h"
#include "pop3client/LineLists.h"
#include "pop3client/SocketBase.h"
#include "pop3client/UUCoder.h"

// Header summary of the last fetched message.
class TSummary : public platform::TObject {
 public:
  std::string Subject;
  std::string From;
  int32_t Bytes = 0;
  std::string MessageId;
  TLineList Header;  // the header lines, the empty line and "."
  // The header text exactly as received, every byte of the reply's lines
  // after the status line with their line ends, the closing "." included:
  // its length and digest. Set by every TOP read, whoever takes the lines.
  uint64_t HeaderLength = 0;
  uint64_t HeaderDigest = 0;
};

// A whole-message holder; the client owns one and nothing fills it.
class TMailMessage : public platform::TObject {
 public:
  TLineList Lines;
  platform::TStringList Headers;
  platform::TStringList Body;
  platform::TStringList Attachments;
  std::list<std::string> Parts;
};

using TVarFileNameEvent = std::function<void(std::string& FileName)>;

class TPop3Client : public TSocketBase {
 public:
  using TListEvent = std::function<void(int32_t Msg, int32_t Size)>;
  using THeaderLineEvent = std::function<void(std::string& Line)>;

  static constexpr int32_t kDefaultPort = 110;
  // The header lines of one message may hold at most this many bytes; a
  // server that sends more gets its connection closed.
  static constexpr size_t kMaxHeaderBytes = 4 * 1024 * 1024;
  static constexpr size_t kMessageIdLength = 256;
  // A LIST reply may hold at most this many lines before the ".".
  static constexpr int32_t kMaxListLines = 1000000;

  // No network traffic; raises what the socket component's constructor
  // raises.
  explicit TPop3Client(platform::TComponent* owner);
  // Closes an open connection without QUIT: nothing marked is deleted.
  ~TPop3Client() override;

  // Every operation below raises platform::Exception for the POP3 level: a
  // refused reply with the whole reply line (CR LF included) as its text,
  // "Connection closed by server" when the server closed instead of
  // answering; and, unchanged, the socket component's ESockError and
  // EAbortError ("Socket readln aborted" when a reply does not come within
  // TimeOut; the expiry has then closed the connection).

  // Connects, reads the greeting, logs in with USER and PASS (once more
  // when OnAuthenticationFailed sets Handled), sends STAT. Raises
  // "Authentication failed" (credentials missing with no handler to fill
  // them, or a rejection not retried, or the retry rejected), "User name
  // or password holds a line break or NUL" (both before any traffic), the
  // socket component's connect failures, the refused greeting or STAT. A
  // failure after the connection sends QUIT first; when that QUIT fails,
  // its failure is raised in place of the first.
  void Connect() override;
  // While connected: QUIT, then the close in every case. Raises the refused
  // QUIT reply, "Connection closed by server", or the read's failure.
  // Not connected: does nothing.
  void Disconnect() override;
  // Cancels the wait in progress and closes an open connection without
  // QUIT. Raises nothing of its own.
  void Abort() override;

  // The following do nothing while another of them (or Connect) runs on
  // this client, and raise "Not Connected" when not connected.
  // LIST: OnList(number, size) per listed message, in the server's order.
  // Raises the run-time's conversion error for a field that is no number
  // (while OnList is set), "Too many lines in the LIST reply" beyond
  // kMaxListLines (the connection is closed), what OnList raises.
  void ListSizes();
  // TOP n 0, then LIST n for the size. Raises ERangeError for n below 1,
  // the refused TOP reply (Summary() unchanged), "Header of message n
  // exceeds 4 MiB" beyond kMaxHeaderBytes (the connection is closed), the
  // conversion error for a LIST n reply without a size.
  void FetchSummary(int32_t number);
  // TOP n 0 alone: the header lines into Summary() as FetchSummary reads
  // them, Bytes untouched. False when the server refuses the TOP (or the
  // client is inside another command); the connection stays up then.
  // Raises as FetchSummary for everything else.
  bool FetchHeader(int32_t number);
  // LIST n alone: the size into Summary().Bytes. False, Bytes untouched,
  // when the server refuses, names another message, or gives no size that
  // is a number (or the client is inside another command). Raises ERangeError
  // for n below 1, "Connection closed by server" when no reply comes, and the
  // socket component's failures.
  bool FetchSize(int32_t number);
  // DELE n; OnSuccess when accepted. Raises ERangeError for n below 1; a
  // reply whose first field is "-ERR" (after OnFailure); "Connection closed
  // by server" (after OnFailure).
  void DeleteMessage(int32_t number);

  int32_t MessageCount() const { return messageCount_; }
  TSummary& Summary() { return *summary_; }
  bool CommandBusy() const { return commandBusy_; }

  const std::string& AttachFilePath() const { return attachFilePath_; }
  // Appends "\" unless the text already ends with one.
  void SetAttachFilePath(const std::string& path);

  TMailMessage& MailMessage() { return *mailMessage_; }
  TUUProcessor& UUProcessor() { return *uuProcessor_; }

  std::string UserID;
  std::string Password;
  bool DeleteOnRead = false;  // stored only
  bool Parse = false;         // stored only

  // Hides the socket layer's connect notification: fired after the login.
  platform::TNotifyEvent OnConnect;
  platform::THandlerEvent OnAuthenticationNeeded;
  platform::THandlerEvent OnAuthenticationFailed;
  TListEvent OnList;
  // Set, it is handed every header line of a TOP reply as it is read (line
  // end cut, the closing "." included), and Summary().Header stays empty: a
  // caller that keeps only a share of a header never holds all its lines.
  // The handler set when a reply starts is the one for all its lines.
  THeaderLineEvent OnHeaderLine;
  platform::TNotifyEvent OnRetrieveStart;
  platform::TNotifyEvent OnRetrieveEnd;
  platform::TNotifyEvent OnSuccess;
  platform::TNotifyEvent OnFailure;
  platform::TNotifyEvent OnReset;        // never fired
  platform::TNotifyEvent OnDecodeEnd;    // never fired
  TVarFileNameEvent OnDecodeStart;       // never fired

 private:
  // One line of a multi-line reply into `line`; an empty one means the
  // server is gone. The caller's text is reused from line to line, so a
  // reply of many lines costs no string per line.
  void ReadReplyLine(std::string& line);
  // Sends TOP n 0 and, when it is accepted, reads the header lines into the
  // summary. Returns false with the refusing reply in `reply`.
  bool ReadTop(int32_t number, std::string& reply);

  int32_t messageCount_ = 0;
  bool commandBusy_ = false;
  std::string attachFilePath_;
  std::unique_ptr<TSummary> summary_;
  std::unique_ptr<TMailMessage> mailMessage_;
  TUUProcessor* uuProcessor_ = nullptr;  // owned as a component
};
