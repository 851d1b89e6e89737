// The socket base component under the POP3 client: one TCP connection at a
// time, the line exchange on it, the host lookup, the per-step time-out and
// the socket notices. Every step that waits for the network keeps the
// thread's message queue running while it waits, so the caller blocks but
// the program stays responsive. Every failure is raised as an exception.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
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

// Failures, all exceptions: ESockError for socket and connection failures
// (socket errors read as the number, ":" and the text of the error table,
// for example "10061:Connection refused"); EAbortError, an ESockError, for
// a read or send ended by the time-out or a cancel; platform::Exception
// "Not Connected"; ERangeError at the 64 KiB limits of a line or a send.
// After every failure the time-out timer is off.
class TSocketBase : public platform::TComponent {
 public:
  // A line is at most this long, its LF included.
  static constexpr int32_t kLineLimit = 65536;
  // At most this many bytes go out in one send.
  static constexpr int32_t kSendLimit = 65535;
  static constexpr int32_t kLookupBufferSize = 1024;
  static constexpr int32_t kClearInputSize = 65536;
  static constexpr uint16_t kNoSocket = 65535;

  // Raises ESockError "Initializaton of windows sockets failed" when no
  // socket can be made.
  explicit TSocketBase(platform::TComponent* owner);
  // Aborts what is under way and closes the socket; fires no OnDisconnect.
  ~TSocketBase() override;

  // The virtual operations; the POP3 client replaces Connect, Disconnect
  // and Abort.
  virtual void Accept();  // no socket of the system listens; does nothing
  // Resolves Host, connects to Port and waits for the connection. Raises
  // ESockError: "Already connected" (nothing else happens), "Host Lookup
  // Timed Out", "Host Lookup Canceled", "Null Remote Address" (a name that
  // cannot be resolved); after OnConnectionFailed: "Connection Timed out",
  // "Connection Canceled", "Connection Failed" (refused or unreachable); a
  // socket error of the call itself (for example 10037, already in
  // progress) without the event.
  virtual void Connect();
  // Closes the socket at once (no protocol exchange), fires OnDisconnect
  // and makes a fresh socket; each call does so, connected or not. Raises
  // ESockError when the close fails, ERangeError when no fresh socket can
  // be made.
  virtual void Disconnect();
  // SendLine(command), then ReadLn; raises what those raise.
  virtual void Transaction(const std::string& command, std::string& reply);
  // Cancels the wait in progress (the base closes nothing).
  virtual void Abort();

  std::string Transaction(const std::string& command) {
    std::string reply;
    Transaction(command, reply);
    return reply;
  }

  // One line through its LF (CR LF when the peer sent it), nothing after it
  // taken; the empty text at once when the peer has closed and nothing is
  // left. The lines that came before a close or a reset are read first.
  // Raises EAbortError "Socket readln aborted" (time-out or cancel, also
  // when a whole line waits), ESockError for a socket error (a reset reads
  // "10054:Connection reset by peer", from the read after the last line
  // that came before it on), ERangeError after 65536 bytes without an LF.
  void ReadLn(std::string& line);
  std::string ReadLn() {
    std::string line;
    ReadLn(line);
    return line;
  }
  // Sends text and CR LF, text up to its first NUL, or length bytes (0:
  // up to the first NUL). Raise ERangeError beyond kSendLimit bytes before
  // sending anything, EAbortError "Socket send aborted" when a cancel is
  // pending (nothing sent) or the peer takes nothing for a whole TimeOut,
  // ESockError for a socket error.
  void SendLine(const std::string& text);
  void SendText(const std::string& text);
  void SendBuffer(const char* bytes, int32_t length);

  // Raises platform::Exception "Not Connected" unless connected, after
  // giving OnConnectionRequired one chance to connect.
  void CheckConnected();
  // Sets Canceled: the wait in progress gives up, a send that starts
  // afterwards fails. Raises nothing.
  void Cancel();
  // "" for 0, "number:text" for a number of the table, else "Unknown Error
  // No. " and the number.
  std::string ErrorText(int32_t number);
  // The 50 (number, text) pairs of the socket error table.
  static const std::vector<std::pair<int32_t, const char*>>& SocketErrorTexts();
  // Live components that have started the socket library.
  static int32_t StartupCount();

  bool Connected() const { return connected_; }

  // --- The steps the operations above are made of, used by the POP3
  // client, the notice window, the time-out timer and the tests; nothing
  // else of the system calls them.
  // Clears Connected, closes the socket, fires OnDisconnect (not while
  // destroyed), puts a fresh socket in its place. Raises as Disconnect.
  void CloseSocketHandle();
  // Raises ESockError for the last socket error unless it is `ignored` or
  // no socket error at all.
  void RaiseSocketError(int32_t ignored);
  // Fills RemoteAddress from Host; raises ESockError "Host Lookup Timed
  // Out", "Host Lookup Canceled", "Host Lookup Failed".
  void ResolveHost();
  // Arm and disarm the step's time-out; TimerOn raises ERangeError for a
  // negative TimeOut and platform::Exception "No Timer" when the platform
  // refuses the timer.
  void TimerOn();
  void TimerOff();
  void TimerFired(platform::TObject* Sender);
  // The notice window's dispatch; failures inside it are dropped.
  void HandleNotice(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam);
  // Calls OnStatus for levels up to ReportLevel; its failures are dropped.
  // A view, kept nowhere: every exchange reports several steps, and at the
  // programs' level 0 none of them may cost a string of its own.
  // The level is tested inline: a read reports three steps a line.
  void ReportStatus(int level, std::string_view text) {
    if (level <= ReportLevel) ReportStatusAtLevel(text);
  }
  // A byte waits to be read; false also on any error. Raises nothing.
  bool DataAvailable();
  // Drops one receive's worth of waiting bytes. Raises nothing.
  void ClearInput();

  bool Canceled() const { return canceled_; }
  bool TimedOut() const { return timedOut_; }
  bool WaitDone() const { return waitDone_; }
  bool NoticeOk() const { return noticeOk_; }
  bool ShuttingDown() const { return shuttingDown_; }
  uint32_t RemoteAddress() const { return remoteAddress_; }  // network byte order
  uint16_t SocketHandle() const { return socketHandle_; }
  platform::HWND NoticeWindow() const { return noticeWindow_; }
  TThreadTimer& TimeOutTimer() { return *timeOutTimer_; }

  std::string Host;
  int32_t Port = 0;
  int32_t TimeOut = 0;  // ms per waiting step; 0 = no limit
  int32_t ReportLevel = 0;
  // The levels of the status reports: one reaches OnStatus when its level is
  // at most ReportLevel (0, as the programs leave it: none).
  static constexpr int32_t kStatusResult = 1;    // each reply line, a retrieved summary
  static constexpr int32_t kStatusTransfer = 4;  // sending a buffer, closing the socket
  static constexpr int32_t kStatusStep = 8;      // every other step

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
  void ReportStatusAtLevel(std::string_view text);
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
