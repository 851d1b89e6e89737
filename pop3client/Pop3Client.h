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

  static constexpr int32_t kDefaultPort = 110;
  // The header lines of one message may hold at most this many bytes; a
  // server that sends more gets its connection closed.
  static constexpr size_t kMaxHeaderBytes = 4 * 1024 * 1024;
  static constexpr size_t kMessageIdLength = 256;
  // A LIST reply may hold at most this many lines before the ".".
  static constexpr int32_t kMaxListLines = 1000000;

  explicit TPop3Client(platform::TComponent* owner);
  ~TPop3Client() override;

  void Connect() override;
  void Disconnect() override;
  void Abort() override;

  void ListSizes();
  // TOP n 0, then LIST n for the size.
  void FetchSummary(int32_t number);
  // TOP n 0 alone: the header lines into Summary() as FetchSummary reads
  // them, Bytes untouched. False when the server refuses the TOP (or the
  // client is inside another command); the connection stays up then.
  bool FetchHeader(int32_t number);
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
  platform::TNotifyEvent OnRetrieveStart;
  platform::TNotifyEvent OnRetrieveEnd;
  platform::TNotifyEvent OnSuccess;
  platform::TNotifyEvent OnFailure;
  platform::TNotifyEvent OnReset;        // never fired
  platform::TNotifyEvent OnDecodeEnd;    // never fired
  TVarFileNameEvent OnDecodeStart;       // never fired

 private:
  // One line of a multi-line reply; an empty one means the server is gone.
  std::string ReadReplyLine();
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
