#include "pop3client/SocketBase.h"

#include <algorithm>
#include <cstring>

#include "platform/Convert.h"
#include "platform/ScopeExit.h"
#include "platform/Winsock.h"

namespace ws = platform;

namespace {

constexpr ws::UINT_PTR kTimerId = 1;
constexpr int kPassSleepMs = 2;  // one pass of the lookup and connection waits
constexpr int kNoLimit = -1;
// The first peek of a line looks at this many bytes; most lines are shorter.
constexpr int32_t kFirstPeek = 256;
constexpr long kNoticeMask = ws::FD_READ | ws::FD_OOB | ws::FD_ACCEPT | ws::FD_CONNECT | ws::FD_CLOSE;
constexpr ws::WORD kSocketsVersion = 0x0101;

int32_t g_startupCount = 0;

const char kNoticeClassName[] = "SocketWindowClass";
const char kTimerClassName[] = "TmrWindowClass";

uint16_t LowWord(ws::LPARAM v) { return static_cast<uint16_t>(static_cast<uintptr_t>(v) & 0xffff); }
uint16_t HighWord(ws::LPARAM v) {
  return static_cast<uint16_t>((static_cast<uintptr_t>(v) >> 16) & 0xffff);
}

ws::LRESULT NoticeWindowProc(ws::HWND hwnd, ws::UINT msg, ws::WPARAM wParam, ws::LPARAM lParam) {
  auto* component = reinterpret_cast<TSocketBase*>(ws::GetWindowLongPtrA(hwnd, ws::GWL_USERDATA_SLOT));
  if (component && msg >= WM_SOCKET_NOTICE) {
    component->HandleNotice(msg, wParam, lParam);
    return 0;
  }
  return ws::DefWindowProcA(hwnd, msg, wParam, lParam);
}

ws::HWND CreateHiddenWindow(ws::WNDCLASSA& cls, void* owner) {
  if (!cls.hInstance) cls.hInstance = ws::HInstance();
  ws::WNDCLASSA known;
  if (!ws::GetClassInfoA(cls.hInstance, cls.lpszClassName, &known)) {
    if (!ws::RegisterClassA(&cls)) return 0;
  }
  ws::HWND h = ws::CreateWindowExA(ws::WS_EX_TOOLWINDOW, cls.lpszClassName, "", ws::WS_POPUP, 0, 0, 0, 0,
                                   0, 0, cls.hInstance, nullptr);
  if (!h) return 0;
  if (owner) ws::SetWindowLongPtrA(h, ws::GWL_USERDATA_SLOT, reinterpret_cast<ws::LONG_PTR>(owner));
  return h;
}

}  // namespace

platform::LRESULT TimerWindowProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                  platform::LPARAM lParam) {
  auto* timer = reinterpret_cast<TThreadTimer*>(ws::GetWindowLongPtrA(hwnd, ws::GWL_USERDATA_SLOT));
  if (!timer) return ws::DefWindowProcA(hwnd, msg, wParam, lParam);
  if (msg == ws::WM_TIMER) {
    if (timer->onTimer_) {
      // The handler's failure goes to the program's report, no further.
      try {
        platform::TNotifyEvent handler = timer->onTimer_;
        handler(timer);
      } catch (const std::exception& e) {
        platform::Application().HandleException(e);
      } catch (...) {
      }
    }
    return 0;
  }
  return ws::DefWindowProcA(hwnd, msg, wParam, lParam);
}

platform::HWND CreateNoticeWindow(TSocketBase* component) {
  static ws::WNDCLASSA cls{0, NoticeWindowProc, 0, sizeof(void*), 0, 0, 0, 0, nullptr, kNoticeClassName};
  return CreateHiddenWindow(cls, component);
}

platform::HWND CreateTimerWindow(TThreadTimer* timer) {
  static ws::WNDCLASSA cls{0, TimerWindowProc, 0, sizeof(void*), 0, 0, 0, 0, nullptr, kTimerClassName};
  return CreateHiddenWindow(cls, timer);
}

// ---------------------------------------------------------------- timer

TThreadTimer::TThreadTimer(platform::TComponent* owner) : platform::TComponent(owner) {
  window_ = CreateTimerWindow(this);
}

TThreadTimer::~TThreadTimer() {
  BeginDestroy();
  enabled_ = false;
  try {
    UpdateTimer();
  } catch (...) {
  }
  if (window_) ws::DestroyWindow(window_);
}

void TThreadTimer::SetEnabled(bool value) {
  if (value == enabled_) return;
  enabled_ = value;
  UpdateTimer();
}

void TThreadTimer::SetInterval(uint32_t value) {
  if (value == interval_) return;
  interval_ = value;
  UpdateTimer();
}

void TThreadTimer::SetOnTimer(platform::TNotifyEvent handler) {
  onTimer_ = std::move(handler);
  UpdateTimer();
}

void TThreadTimer::UpdateTimer() {
  // Setting the timer restarts it: only a timer that stops is killed. Every
  // wait of a socket step starts this timer.
  if (interval_ != 0 && enabled_ && onTimer_) {
    if (ws::SetTimer(window_, kTimerId, interval_, nullptr) == 0) throw platform::Exception("No Timer");
  } else {
    ws::KillTimer(window_, kTimerId);
  }
}

// ---------------------------------------------------------------- helpers

std::string NthWord(const std::string& text, char sep, int k) {
  // The field's bounds first, then one copy: every LIST reply of a scan
  // passes here.
  if (k < 1) return {};
  size_t start = 0;
  for (int i = 1; i < k; ++i) {
    const size_t at = text.find(sep, start);
    if (at == std::string::npos) return {};
    start = at + 1;
  }
  const size_t end = text.find(sep, start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

const std::vector<std::pair<int32_t, const char*>>& TSocketBase::SocketErrorTexts() {
  static const std::vector<std::pair<int32_t, const char*>> table = {
      {ws::WSAEINTR, "Interrupted system call"},
      {ws::WSAEBADF, "Bad file number"},
      {ws::WSAEACCES, "Permission denied"},
      {ws::WSAEFAULT, "Bad address"},
      {ws::WSAEINVAL, "Invalid argument"},
      {ws::WSAEMFILE, "Too many open files"},
      {ws::WSAEWOULDBLOCK, "Operation would block"},
      {ws::WSAEINPROGRESS, "Operation now in progress"},
      {ws::WSAEALREADY, "Operation already in progress"},
      {ws::WSAENOTSOCK, "Socket operation on non-socket"},
      {ws::WSAEDESTADDRREQ, "Destination address required"},
      {ws::WSAEMSGSIZE, "Message too long"},
      {ws::WSAEPROTOTYPE, "Wrong protocol type for socket"},
      {ws::WSAENOPROTOOPT, "Bad protocol option"},
      {ws::WSAEPROTONOSUPPORT, "Protocol not supported"},
      {ws::WSAESOCKTNOSUPPORT, "Socket type not supported"},
      {ws::WSAEOPNOTSUPP, "Operation not supported on socket"},
      {ws::WSAEPFNOSUPPORT, "Protocol family not supported"},
      {ws::WSAEAFNOSUPPORT, "Address family not supported by protocol family"},
      {ws::WSAEADDRINUSE, "Address already in use"},
      {ws::WSAEADDRNOTAVAIL, "Can't assign requested address"},
      {ws::WSAENETDOWN, "Network is down"},
      {ws::WSAENETUNREACH, "Network is unreachable"},
      {ws::WSAENETRESET, "Network dropped connection or reset"},
      {ws::WSAECONNABORTED, "Software caused connection abort"},
      {ws::WSAECONNRESET, "Connection reset by peer"},
      {ws::WSAENOBUFS, "No buffer space available"},
      {ws::WSAEISCONN, "Socket is already connected"},
      {ws::WSAENOTCONN, "Socket is not connected"},
      {ws::WSAESHUTDOWN, "Can't send after socket shutdown"},
      {ws::WSAETOOMANYREFS, "Too many references, can't splice"},
      {ws::WSAETIMEDOUT, "Connection timed out"},
      {ws::WSAECONNREFUSED, "Connection refused"},
      {ws::WSAELOOP, "Too many levels of symbolic links"},
      {ws::WSAENAMETOOLONG, "File name too long"},
      {ws::WSAEHOSTDOWN, "Host is down"},
      {ws::WSAEHOSTUNREACH, "No route to Host"},
      {ws::WSAENOTEMPTY, "Directory not empty"},
      {ws::WSAEPROCLIM, "Too many processes"},
      {ws::WSAEUSERS, "Too many users"},
      {ws::WSAEDQUOT, "Disc quota exceeded"},
      {ws::WSAESTALE, "Stale NFS file handle"},
      {ws::WSAEREMOTE, "Too many levels of remote in path"},
      {ws::WSASYSNOTREADY, "Network subsystem is unavailable"},
      {ws::WSAVERNOTSUPPORTED, "Incompatible version of WINSOCK.DLL"},
      {ws::WSANOTINITIALISED, "Successful WSAStartup not yet performed"},
      {ws::WSAHOST_NOT_FOUND, "Host not found"},
      {ws::WSATRY_AGAIN, "Non-Authoritative Host not found"},
      {ws::WSANO_RECOVERY, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
      {ws::WSANO_DATA, "Valid name, no data record of requested type"},
  };
  return table;
}

int32_t TSocketBase::StartupCount() { return g_startupCount; }

// ---------------------------------------------------------------- life

TSocketBase::TSocketBase(platform::TComponent* owner) : platform::TComponent(owner) {
  LineBuffer.assign(kLineLimit + 1, '\0');
  noticeWindow_ = CreateNoticeWindow(this);
  LookupBuffer.assign(kLookupBufferSize, '\0');
  timeOutTimer_ = new TThreadTimer(this);
  timeOutTimer_->SetEnabled(false);
  timeOutTimer_->SetOnTimer([this](platform::TObject* sender) { TimerFired(sender); });
  ReportStatus(kStatusStep, "Create");
  try {
    SocketStartup();
  } catch (...) {
    // The half-built component goes away without counting down again; the
    // timer is freed with the component base.
    if (noticeWindow_) ws::DestroyWindow(noticeWindow_);
    noticeWindow_ = 0;
    throw;
  }
}

TSocketBase::~TSocketBase() {
  BeginDestroy();
  ReportStatus(kStatusStep, "Destroy");
  try {
    Abort();
  } catch (...) {
  }
  canceled_ = true;
  CancelLookup();
  delete timeOutTimer_;
  timeOutTimer_ = nullptr;
  if (noticeWindow_) ws::DestroyWindow(noticeWindow_);
  noticeWindow_ = 0;
  shuttingDown_ = true;
  if (socketHandle_ != kNoSocket) {
    try {
      CloseSocketHandle();
    } catch (...) {
    }
  }
  if (started_) {
    started_ = false;
    if (--g_startupCount == 0) ws::WSACleanup();
  }
}

void TSocketBase::SocketStartup() {
  ReportStatus(kStatusStep, "Initializing Winsock");
  if (++g_startupCount == 1) {
    ws::WSADATA data;
    ws::WSAStartup(kSocketsVersion, &data);
  }
  ws::SOCKET s = ws::socket(ws::AF_INET, ws::SOCK_STREAM, 0);
  if (s == ws::INVALID_SOCKET || s >= kNoSocket) {
    if (s != ws::INVALID_SOCKET) ws::closesocket(s);
    if (--g_startupCount == 0) ws::WSACleanup();
    throw ESockError("Initializaton of windows sockets failed");
  }
  started_ = true;
  socketHandle_ = static_cast<uint16_t>(s);
  // Closing this first socket aborts its connection: the peer sees a reset.
  ws::LINGER linger{1, 0};
  ws::setsockopt(s, ws::SOL_SOCKET, ws::SO_LINGER, reinterpret_cast<const char*>(&linger), sizeof linger);
  RegisterNotices();
}

void TSocketBase::RegisterNotices() {
  ws::WSAAsyncSelect(socketHandle_, noticeWindow_, WM_SOCKET_NOTICE, kNoticeMask);
}

bool TSocketBase::ReplaceSocket() {
  ws::SOCKET fresh = ws::socket(ws::AF_INET, ws::SOCK_STREAM, 0);
  if (fresh == ws::INVALID_SOCKET || fresh >= kNoSocket) {
    if (fresh != ws::INVALID_SOCKET) ws::closesocket(fresh);
    socketHandle_ = kNoSocket;
    return false;
  }
  socketHandle_ = static_cast<uint16_t>(fresh);
  RegisterNotices();
  return true;
}

void TSocketBase::DiscardSocket() {
  // After a failed connect the next one must start from an unconnected
  // socket, and late notices of this one must change nothing.
  connected_ = false;
  if (socketHandle_ != kNoSocket) ws::closesocket(socketHandle_);
  socketHandle_ = kNoSocket;
  if (!shuttingDown_) ReplaceSocket();
}

void TSocketBase::Accept() {}

// ---------------------------------------------------------------- status

void TSocketBase::ReportStatusAtLevel(std::string_view text) {
  if (Destroying() || !OnStatus) return;
  try {
    TOnStatus handler = OnStatus;
    handler(this, std::string(text));
  } catch (...) {
  }
}

std::string TSocketBase::ErrorText(int32_t number) {
  ReportStatus(kStatusStep, "Looking Up Error Message");
  if (number == 0) return {};
  for (const auto& [n, text] : SocketErrorTexts()) {
    if (n == number) return platform::IntToStr(number) + ":" + text;
  }
  return "Unknown Error No. " + platform::IntToStr(number);
}

void TSocketBase::RaiseSocketError(int32_t ignored) {
  int err = ws::WSAGetLastError();
  if (err != ignored && err > ws::WSABASEERR) throw ESockError(ErrorText(err));
}

// ---------------------------------------------------------------- time-out

void TSocketBase::TimerOn() {
  BeginTimedStep();
  StartTimer();
}

void TSocketBase::BeginTimedStep() {
  ReportStatus(kStatusStep, "Timer On");
  timedOut_ = false;
  if (TimeOut < 0) throw platform::RangeError();
}

void TSocketBase::StartTimer() {
  timeOutTimer_->SetInterval(static_cast<uint32_t>(TimeOut));
  timeOutTimer_->SetEnabled(true);
}

void TSocketBase::TimerOff() {
  ReportStatus(kStatusStep, "Timer Off");
  if (timeOutTimer_) timeOutTimer_->SetEnabled(false);
}

void TSocketBase::TimerFired(platform::TObject*) {
  ReportStatus(kStatusStep, "Timer Triggered");
  TimerOff();
  timedOut_ = true;
  waitDone_ = true;
  Abort();
}

void TSocketBase::Abort() {
  ReportStatus(kStatusStep, "Abort");
  Cancel();
}

void TSocketBase::Cancel() {
  ReportStatus(kStatusStep, "Canceling");
  canceled_ = true;
}

// ---------------------------------------------------------------- lookup

void TSocketBase::CancelLookup() {
  if (lookupTask_) ws::WSACancelAsyncRequest(lookupTask_);
  lookupTask_ = 0;
}

void TSocketBase::ResolveHost() {
  ReportStatus(kStatusStep, "Resolve Host");
  size_t n = std::min(Host.size(), static_cast<size_t>(kLineLimit));
  std::memcpy(LineBuffer.data(), Host.data(), n);
  LineBuffer[n] = '\0';
  remoteAddress_ = ws::inet_addr(LineBuffer.data());
  if (remoteAddress_ != ws::INADDR_NONE) return;

  remoteAddress_ = 0;
  TimerOn();
  {
    platform::ScopeExit off([this] {
      TimerOff();
      // A late answer of this request must change nothing.
      CancelLookup();
    });
    waitDone_ = false;
    CancelLookup();
    lookupTask_ = ws::WSAAsyncGetHostByName(noticeWindow_, WM_LOOKUP_ANSWER, LineBuffer.data(),
                                            LookupBuffer.data(), kLookupBufferSize);
    do {
      ws::WaitForSocketActivity(ws::INVALID_SOCKET, kPassSleepMs);
      ws::ProcessMessages();
    } while (!waitDone_ && !timedOut_ && !canceled_);
  }
  if (timedOut_) throw ESockError("Host Lookup Timed Out");
  if (canceled_) throw ESockError("Host Lookup Canceled");
  if (!noticeOk_) throw ESockError("Host Lookup Failed");

  // The record was written into LookupBuffer by the layer; its pointers
  // point into the buffer itself.
  const char* base = LookupBuffer.data();
  const char* end = base + kLookupBufferSize;
  auto inside = [&](const void* p, size_t len) {
    auto* c = static_cast<const char*>(p);
    return c >= base && c + len <= end;
  };
  ws::HOSTENT he;
  std::memcpy(static_cast<void*>(&he), base, sizeof he);
  if (he.h_length == 4 && inside(he.h_addr_list, sizeof(char*)) && he.h_addr_list[0] &&
      inside(he.h_addr_list[0], 4)) {
    std::memcpy(&remoteAddress_, he.h_addr_list[0], 4);
  } else {
    throw ESockError("Host Lookup Failed");
  }
  if (OnHostResolved) {
    TOnHostResolved handler = OnHostResolved;
    handler(this);
  }
}

// ---------------------------------------------------------------- notices

void TSocketBase::HandleNotice(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam) {
  try {
    if (msg == WM_SOCKET_NOTICE) {
      // A notice of an earlier socket of this component changes nothing.
      if (wParam != socketHandle_ || socketHandle_ == kNoSocket) return;
      noticeOk_ = HighWord(lParam) == 0;
      switch (LowWord(lParam)) {
        case ws::FD_CONNECT:
          if (noticeOk_) {
            connected_ = true;
            connectNoticed_ = true;
            if (OnConnect) {
              platform::TNotifyEvent handler = OnConnect;
              handler(this);
            }
          }
          break;
        case ws::FD_CLOSE:
          // Bytes still waiting, also those before a reset, are read first;
          // the read after them meets the close or the reset.
          if (!DataAvailable()) {
            CloseSocketHandle();
            // A read that then finds the socket replaced reports the reset.
            peerCloseError_ = HighWord(lParam);
          }
          break;
        default:
          break;  // reads are polled by the line wait; nothing else arrives
      }
      return;
    }
    if (msg == WM_LOOKUP_ANSWER) {
      // Only the answer of the lookup being waited for counts.
      if (lookupTask_ == 0 || wParam != lookupTask_) return;
      noticeOk_ = HighWord(lParam) == 0;
      lookupTask_ = 0;
      waitDone_ = true;
      return;
    }
    noticeOk_ = HighWord(lParam) == 0;
  } catch (...) {
    // Failures inside the dispatch go nowhere.
  }
}

bool TSocketBase::DataAvailable() {
  ReportStatus(kStatusStep, "Data Available");
  return ws::recv(socketHandle_, LineBuffer.data(), 1, ws::MSG_PEEK) > 0;
}

void TSocketBase::ClearInput() {
  ReportStatus(kStatusStep, "Clearing Input");
  std::vector<char> scratch(kClearInputSize);
  ws::recv(socketHandle_, scratch.data(), kClearInputSize, 0);
}

// ---------------------------------------------------------------- connection

void TSocketBase::Connect() {
  ReportStatus(kStatusStep, "Connecting");
  canceled_ = false;
  peerCloseError_ = 0;
  if (connected_) throw ESockError("Already connected");

  // Resolution: a name that cannot be resolved may be mended once by the
  // OnInvalidHost handler.
  int attempts = 0;
  for (;;) {
    try {
      ResolveHost();
    } catch (const ESockError& e) {
      if (e.Message() == "Host Lookup Timed Out" || e.Message() == "Host Lookup Canceled") throw;
      remoteAddress_ = 0;
    }
    if (remoteAddress_ != 0) break;
    if (attempts > 0 || !OnInvalidHost) throw ESockError("Null Remote Address");
    bool handled = false;
    platform::THandlerEvent handler = OnInvalidHost;
    handler(handled);
    if (!handled) throw ESockError("Null Remote Address");
    ++attempts;
  }

  if (socketHandle_ == kNoSocket && !ReplaceSocket()) {
    throw ESockError("Initializaton of windows sockets failed");
  }

  ws::SOCKADDR_IN address;
  address.sin_family = static_cast<int16_t>(ws::AF_INET);
  address.sin_port = ws::htons(static_cast<uint16_t>(Port & 0xffff));
  address.sin_addr.s_addr = remoteAddress_;

  noticeOk_ = true;
  waitDone_ = false;
  connectNoticed_ = false;
  if (ws::connect(socketHandle_, reinterpret_cast<const ws::SOCKADDR*>(&address), sizeof address) ==
      ws::SOCKET_ERROR) {
    int err = ws::WSAGetLastError();
    if (err != ws::WSAEWOULDBLOCK && err > ws::WSABASEERR) {
      DiscardSocket();
      throw ESockError(ErrorText(err));
    }
  }

  try {
    TimerOn();
  } catch (...) {
    DiscardSocket();
    throw;
  }
  {
    platform::ScopeExit off([this] { TimerOff(); });
    do {
      ws::WaitForSocketActivity(socketHandle_, kPassSleepMs);
      ws::ProcessMessages();
    } while (!connectNoticed_ && !timedOut_ && !canceled_ && noticeOk_);
  }
  // A peer that closes right after accepting may have its close handled in
  // the same pump as the connect: the connect has still succeeded, and the
  // first read meets the close.
  if (!timedOut_ && !canceled_ && connectNoticed_) return;

  const char* text = timedOut_ ? "Connection Timed out" : canceled_ ? "Connection Canceled" : "Connection Failed";
  DiscardSocket();
  if (OnConnectionFailed) {
    platform::TNotifyEvent handler = OnConnectionFailed;
    handler(this);
  }
  throw ESockError(text);
}

void TSocketBase::Disconnect() {
  ReportStatus(kStatusStep, "Disconnecting");
  CloseSocketHandle();
}

void TSocketBase::CloseSocketHandle() {
  ReportStatus(kStatusTransfer, "Request Close Socket");
  connected_ = false;
  peerCloseError_ = 0;
  if (socketHandle_ == kNoSocket) return;
  if (ws::closesocket(socketHandle_) == ws::SOCKET_ERROR) {
    RaiseSocketError(ws::WSAEWOULDBLOCK);
    return;
  }
  socketHandle_ = kNoSocket;
  if (!Destroying() && OnDisconnect) {
    platform::TNotifyEvent handler = OnDisconnect;
    handler(this);
  }
  if (!shuttingDown_ && !ReplaceSocket()) throw platform::RangeError();
}

void TSocketBase::CheckConnected() {
  ReportStatus(kStatusStep, "Checking Connection");
  bool asked = false;
  while (!connected_) {
    if (asked || !OnConnectionRequired) throw platform::Exception("Not Connected");
    asked = true;
    bool handled = false;
    platform::THandlerEvent handler = OnConnectionRequired;
    handler(handled);
    if (!handled) throw platform::Exception("Not Connected");
  }
}

// ---------------------------------------------------------------- exchange

void TSocketBase::SendBuffer(const char* bytes, int32_t length) {
  ReportStatus(kStatusTransfer, "Sending Buffer");
  // A send does not pump, so no tick could end it: the step's time-out is
  // begun and ended without a platform timer.
  BeginTimedStep();
  platform::ScopeExit off([this] { TimerOff(); });
  if (!canceled_) {
    if (length == 0) length = static_cast<int32_t>(strnlen(bytes, kSendLimit + 1));
    if (length < 0 || length > kSendLimit) throw platform::RangeError();
    int32_t sent = 0;
    while (sent < length) {
      int n = ws::send(socketHandle_, bytes + sent, length - sent, 0);
      if (n == 0) break;
      if (n == ws::SOCKET_ERROR) {
        RaiseSocketError(ws::WSAEWOULDBLOCK);
        // The send queue is full: wait until it takes bytes again rather
        // than offering them in a tight loop. A peer that takes nothing for
        // a whole time-out period ends the send.
        if (!ws::WaitForSocketWritable(socketHandle_, TimeOut > 0 ? TimeOut : kNoLimit)) {
          throw EAbortError("Socket send aborted");
        }
        continue;
      }
      sent += n;
    }
  }
  if (canceled_) {
    canceled_ = false;
    throw EAbortError("Socket send aborted");
  }
}

void TSocketBase::SendText(const std::string& text) {
  ReportStatus(kStatusStep, "Write");
  size_t n = std::min(text.size(), static_cast<size_t>(kLineLimit));
  std::memcpy(LineBuffer.data(), text.data(), n);
  LineBuffer[n] = '\0';
  SendBuffer(LineBuffer.data(), 0);
}

void TSocketBase::SendLine(const std::string& text) {
  ReportStatus(kStatusStep, "Writeln");
  SendText(text + "\r\n");
}

void TSocketBase::AbortReadIfCanceled() {
  // Also when a whole line already waits: the line stays for the next read.
  if (!canceled_) return;
  canceled_ = false;
  throw EAbortError("Socket readln aborted");
}

void TSocketBase::ReadLn(std::string& line) {
  ReportStatus(kStatusStep, "ReadLn");
  line.clear();
  // The step's time-out counts from here, but the platform timer is started
  // only when the read has to wait: a line that has already arrived costs
  // no timer.
  BeginTimedStep();
  platform::ScopeExit off([this] { TimerOff(); });
  int32_t taken = 0;
  bool timerStarted = false;
  for (;;) {
    if (taken >= kLineLimit) throw platform::RangeError();
    char* at = LineBuffer.data() + taken;
    const int32_t room = kLineLimit - taken;
    // Most lines are short: a small peek finds their end without copying
    // all that waits. Only a peek that comes back full without a line end
    // is repeated for all the room, as one peek of everything would be.
    int32_t asked = std::min(room, kFirstPeek);
    int n = ws::recv(socketHandle_, at, asked, ws::MSG_PEEK);
    auto lineEnd = [&] { return n > 0 ? static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(n))) : nullptr; };
    const char* lf = lineEnd();
    if (n == asked && !lf && asked < room) {
      asked = room;
      n = ws::recv(socketHandle_, at, asked, ws::MSG_PEEK);
      lf = lineEnd();
    }
    if (n == 0) {
      line.clear();  // the peer has closed and nothing is left
      return;
    }
    if (n == ws::SOCKET_ERROR) {
      // A socket that the close notice has closed and replaced reads as
      // the end of the stream, or as the reset that closed it: the outcome
      // must not depend on whether the notice or the peek saw it first.
      if (ws::WSAGetLastError() == ws::WSAENOTCONN) {
        line.clear();
        if (peerCloseError_ != 0) throw ESockError(ErrorText(peerCloseError_));
        return;
      }
      RaiseSocketError(ws::WSAEWOULDBLOCK);
    } else if (lf) {
      AbortReadIfCanceled();
      // Exactly the rest of the line; what follows it stays in the socket.
      // The peek has put its bytes here already: taking them copies them
      // nowhere again.
      const int rest = static_cast<int>(lf - at) + 1;
      const int got = ws::SkipReceived(socketHandle_, rest);
      if (got > 0) line.append(at, static_cast<size_t>(got));
      return;
    } else {
      const int got = ws::SkipReceived(socketHandle_, n);
      if (got > 0) {
        line.append(at, static_cast<size_t>(got));
        taken += got;
      }
    }
    // The read waits for more of the reply. A server that holds its rest
    // until what came is acknowledged (Nagle's rule) must not wait for the
    // kernel's delayed ACK; quick ACKs do not stay on, so each wait asks
    // anew. A line that has already arrived never gets here.
    ws::AcknowledgeAtOnce(socketHandle_);
    if (!timerStarted) {
      StartTimer();
      timerStarted = true;
    }
    ws::ProcessMessages();
    AbortReadIfCanceled();
    // Sleep until something can change the outcome: bytes or a close on the
    // socket, a notice or message, or a due timer. A socket whose close has
    // been seen does not make it sleep: what is left is read at once.
    ws::WaitForSocketActivity(socketHandle_, kNoLimit);
  }
}

void TSocketBase::Transaction(const std::string& command, std::string& reply) {
  ReportStatus(kStatusStep, "Transaction");
  SendLine(command);
  std::string line;
  ReadLn(line);
  if (!line.empty()) ReportStatus(kStatusResult, line);
  reply = std::move(line);
}
