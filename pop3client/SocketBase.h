// The socket base component under the POP3 client: one TCP connection at a
// time, the line exchange on it, the host lookup, the per-step time-out and
// the socket notices. Every step that waits for the network keeps the
// thread's message queue running while it waits, so the caller blocks but
// the program stays responsive. Every failure is raised as an exception.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Component.h"
#include "platform/Exceptions.h"
#include "platform/Messages.h"

// Socket and connection failures.
class ESockError : public platform::Exception {
 public:
  using platform::Exception::Exception;
  const char* ClassName() const noexcept override { return "ESockError"; }
};
// A read or send ended by the time-out or a cancel.
KELVO_EXCEPTION_CLASS(EAbortError, ESockError);

using TOnHostResolved = std::function<void(platform::TComponent* Sender)>;
using TOnStatus = std::function<void(platform::TComponent* Sender, const std::string& Status)>;

// Message numbers of the notice window.
inline constexpr platform::UINT WM_SOCKET_NOTICE = platform::WM_USER + 101;  // 1125
inline constexpr platform::UINT WM_LOOKUP_ANSWER = platform::WM_USER + 102;  // 1126

// A window timer on its own hidden window; it runs no thread, its ticks come
// only while the thread's messages are dispatched.
class TThreadTimer : public platform::TComponent {
 public:
  explicit TThreadTimer(platform::TComponent* owner);
  ~TThreadTimer() override;

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  uint32_t Interval() const { return interval_; }
  void SetInterval(uint32_t value);
  const platform::TNotifyEvent& OnTimer() const { return onTimer_; }
  void SetOnTimer(platform::TNotifyEvent handler);

  platform::HWND Window() const { return window_; }

 private:
  friend platform::LRESULT TimerWindowProc(platform::HWND, platform::UINT, platform::WPARAM,
                                           platform::LPARAM);
  void UpdateTimer();

  bool enabled_ = true;
  uint32_t interval_ = 1000;
  platform::TNotifyEvent onTimer_;
  platform::HWND window_ = 0;
};

class TSocketBase;

platform::HWND CreateNoticeWindow(TSocketBase* component);
platform::HWND CreateTimerWindow(TThreadTimer* timer);

// Field k (from 1) of text split at every occurrence of sep; the last field
// keeps whatever follows it, a line end included. k below 1 or beyond the
// last field gives the empty text.
std::string NthWord(const std::string& text, char sep, int k);

class TSocketBase : public platform::TComponent {
 public:
  // A line is at most this long, its LF included.
  static constexpr int32_t kLineLimit = 65536;
  // At most this many bytes go out in one send.
  static constexpr int32_t kSendLimit = 65535;
  static constexpr int32_t kLookupBufferSize = 1024;
  static constexpr int32_t kClearInputSize = 65536;
  static constexpr uint16_t kNoSocket = 65535;
  // Windows Sockets numbers the component tests for.
  static constexpr int32_t kWouldBlock = 10035;

  explicit TSocketBase(platform::TComponent* owner);
  ~TSocketBase() override;

  // Virtual operations, in the order of the original class.
  virtual void Accept();  // no socket of the system listens; does nothing
  virtual void Connect();
  virtual void Disconnect();
  virtual void Transaction(const std::string& command, std::string& reply);
  virtual void Abort();

  std::string Transaction(const std::string& command) {
    std::string reply;
    Transaction(command, reply);
    return reply;
  }

  // One line through its LF (CR LF when the peer sent it); the empty text
  // when the peer has closed and nothing is left.
  void ReadLn(std::string& line);
  std::string ReadLn() {
    std::string line;
    ReadLn(line);
    return line;
  }
  void SendLine(const std::string& text);
  void SendText(const std::string& text);
  // length 0 stands for the bytes up to the first NUL.
  void SendBuffer(const char* bytes, int32_t length);

  void CheckConnected();
  void Cancel();
  void CloseSocketHandle();
  void RaiseSocketError(int32_t ignored);
  std::string ErrorText(int32_t number);
  // The 50 (number, text) pairs of the socket error table.
  static const std::vector<std::pair<int32_t, const char*>>& SocketErrorTexts();

  void ResolveHost();
  void TimerOn();
  void TimerOff();
  void TimerFired(platform::TObject* Sender);
  void HandleNotice(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam);
  void ReportStatus(int level, const std::string& text);
  bool DataAvailable();
  void ClearInput();

  bool Connected() const { return connected_; }
  bool Canceled() const { return canceled_; }
  bool TimedOut() const { return timedOut_; }
  bool WaitDone() const { return waitDone_; }
  bool NoticeOk() const { return noticeOk_; }
  bool ShuttingDown() const { return shuttingDown_; }
  uint32_t RemoteAddress() const { return remoteAddress_; }  // network byte order
  uint16_t SocketHandle() const { return socketHandle_; }
  platform::HWND NoticeWindow() const { return noticeWindow_; }
  TThreadTimer& TimeOutTimer() { return *timeOutTimer_; }
  const std::string& LastStatus() const { return lastStatus_; }

  // Live components that have started the socket library.
  static int32_t StartupCount();

  std::string Host;
  int32_t Port = 0;
  int32_t TimeOut = 0;  // ms per waiting step; 0 = no limit
  int32_t ReportLevel = 0;

  int32_t BytesTotal = 0;  // never written
  int32_t BytesRecvd = 0;  // never written

  platform::TNotifyEvent OnConnect;
  platform::TNotifyEvent OnDisconnect;
  platform::TNotifyEvent OnConnectionFailed;
  platform::TNotifyEvent OnPacketRecvd;  // never fired
  platform::THandlerEvent OnInvalidHost;
  platform::THandlerEvent OnConnectionRequired;
  TOnHostResolved OnHostResolved;
  TOnStatus OnStatus;

 protected:
  std::vector<char> LineBuffer;    // kLineLimit + 1 bytes
  std::vector<char> LookupBuffer;  // kLookupBufferSize bytes

 private:
  void SocketStartup();
  void RegisterNotices();
  bool ReplaceSocket();
  void DiscardSocket();
  void CancelLookup();
  void AbortReadIfCanceled();
  // TimerOn in two halves: the step's flags and checks, and the platform
  // timer, which only a step that waits needs.
  void BeginTimedStep();
  void StartTimer();

  bool canceled_ = false;
  bool shuttingDown_ = false;
  bool noticeOk_ = true;
  bool timedOut_ = false;
  bool waitDone_ = false;
  bool connected_ = false;
  bool started_ = false;  // this component counts in StartupCount
  std::string lastStatus_;
  TThreadTimer* timeOutTimer_ = nullptr;
  uint32_t remoteAddress_ = 0;
  uint16_t socketHandle_ = kNoSocket;
  platform::HWND noticeWindow_ = 0;
  uintptr_t lookupTask_ = 0;  // the lookup whose answer is awaited, 0 = none
  // The error of the close notice that closed and replaced the socket (a
  // reset), 0 for an orderly close; cleared by the next connect or close.
  int32_t peerCloseError_ = 0;
  // The connect notice of the current connect came without error.
  bool connectNoticed_ = false;
};
