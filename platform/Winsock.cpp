// POSIX sockets behind the Windows Sockets names. The system headers come
// first; Winsock.h keeps its own names clear of their macros.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Winsock.h"
#include "platform/QueueInternals.h"

namespace platform {

namespace {

// Windows Sockets values, spelled out here because the C library's macros
// hide the layer's own names in this file.
constexpr int kWsAfInet = 2;
constexpr int kWsSockStream = 1;
constexpr int kWsSolSocket = 0xffff;
constexpr int kWsSoLinger = 0x0080;
constexpr int kWsMsgOob = 1;
constexpr int kWsMsgPeek = 2;
constexpr long kWsFionread = 0x4004667F;

// Socket handles are numbers of our own, not descriptors: a descriptor is
// reused at once after a close, a handle only after the counter has gone
// round, so a late notice can be told apart from the socket's successor.
constexpr SOCKET kFirstHandle = 1;
constexpr SOCKET kLastHandle = 65534;  // 65535 means "no socket" to the components
// Lookups left running by ended waits are bounded; beyond this a request is
// refused (and its wait ends by its time-out).
constexpr int kMaxPendingLookups = 64;

enum class SockState { Idle, Connecting, Connected, Failed };

struct SockRec {
  int fd = -1;
  SockState state = SockState::Idle;
  HWND hwnd = 0;
  UINT msg = 0;
  long mask = 0;
  bool readArmed = true;
  bool closeReported = false;
  // An error of the connection (a reset) already taken from the kernel;
  // receives report it once the bytes that came before it are received.
  int stickyError = 0;
  // Bytes came from the kernel since the last send or quick ACK: only then
  // may the peer wait for an acknowledgement.
  bool unacknowledged = false;
  // Bytes taken from the kernel that the caller has not received yet: one
  // receive takes what the kernel holds, and peeks and receives are served
  // from here until it is empty. Allocated at the first receive.
  std::vector<char> buffer;
  size_t head = 0;  // first unreceived byte
  size_t tail = 0;  // one past the last
  size_t Buffered() const { return tail - head; }
};

// One receive from the kernel takes at most this much into a socket's
// buffer.
constexpr size_t kReceiveBufferSize = 65536;

std::map<SOCKET, SockRec>& Sockets() {
  static auto* table = new std::map<SOCKET, SockRec>();
  return *table;
}
SOCKET g_nextHandle = kFirstHandle;
int g_startupCount = 0;
thread_local int t_lastError = 0;

int Fail(int wsaError) {
  t_lastError = wsaError;
  return SOCKET_ERROR;
}

// The record last found: a step looks up the same socket many times, and
// a map's records stay where they are until erased. Cleared with the
// record it points at (closesocket is the only erase).
struct LastFound {
  SOCKET handle = INVALID_SOCKET;
  SockRec* rec = nullptr;
};
LastFound g_lastFound;

// Every receive and send starts here: one look into the table, none for
// the socket of the last one.
SockRec* Find(SOCKET s) {
  if (g_lastFound.rec && g_lastFound.handle == s) return g_lastFound.rec;
  auto& table = Sockets();
  auto it = table.find(s);
  if (it == table.end()) return nullptr;
  g_lastFound = LastFound{s, &it->second};
  return &it->second;
}

SOCKET AllocateHandle() {
  auto& table = Sockets();
  for (SOCKET tries = 0; tries <= kLastHandle - kFirstHandle; ++tries) {
    SOCKET h = g_nextHandle;
    g_nextHandle = g_nextHandle >= kLastHandle ? kFirstHandle : g_nextHandle + 1;
    if (!table.count(h)) return h;
  }
  return INVALID_SOCKET;
}

void PostNotice(SOCKET s, const SockRec& rec, long event, int error) {
  if (!rec.hwnd || !(rec.mask & event)) return;
  LPARAM lParam = static_cast<LPARAM>((static_cast<uint32_t>(error & 0xffff) << 16) |
                                      static_cast<uint32_t>(event & 0xffff));
  PostMessageA(rec.hwnd, rec.msg, s, lParam);
}

// Errors of a connect that concern the call itself (a bad argument, a
// socket already connecting or connected) come back from the call; every
// other one, about reaching the peer, comes as the connect notice.
bool ReportedByConnectNotice(int err) {
  switch (err) {
    case EALREADY:
    case EISCONN:
    case EBADF:
    case ENOTSOCK:
    case EINVAL:
    case EFAULT:
    case EAFNOSUPPORT:
    case EPROTOTYPE:
    case EOPNOTSUPP:
      return false;
    default:
      return true;
  }
}

int PendingSocketError(int fd) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

// Lookups. The table and everything in it belong to the queue's thread:
// requests, cancels, the taking of answers and the destruction of windows
// happen there. The helper thread keeps only its own share of the task and
// never looks at the table; once no entry, queued answer or helper holds a
// task, it is freed.
struct LookupTask {
  HWND hwnd = 0;
  UINT msg = 0;
  char* buf = nullptr;
  int buflen = 0;
  std::string name;
  HostResolver resolver;  // empty: the system's
  // Filled in by the helper thread before it posts.
  std::vector<uint32_t> addresses;
  int error = 0;
};

std::map<HANDLE, std::shared_ptr<LookupTask>>& Lookups() {
  static auto* table = new std::map<HANDLE, std::shared_ptr<LookupTask>>();
  return *table;
}
HANDLE g_nextTask = 1;
HostResolver& InstalledResolver() {
  static auto* resolver = new HostResolver();  // lives until the process ends
  return *resolver;
}
std::atomic<int> g_pendingLookups{0};

int MapLookupError(int eai) {
  switch (eai) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
    case EAI_ADDRFAMILY: return WSANO_DATA;
    case EAI_MEMORY: return WSAENOBUFS;
    default: return WSANO_RECOVERY;
  }
}

void RunLookup(HANDLE id, std::shared_ptr<LookupTask> task);

// Lays the host record out in the caller's buffer; 0 when it does not fit.
int WriteHostRecord(const LookupTask& t) {
  size_t n = t.addresses.size();
  size_t nameLen = t.name.size() + 1;
  size_t need = sizeof(HOSTENT) + sizeof(char*) /* aliases: one null */ + (n + 1) * sizeof(char*) +
                n * 4 + nameLen;
  if (t.buflen < 0 || need > static_cast<size_t>(t.buflen)) return 0;
  char* base = t.buf;
  auto* he = reinterpret_cast<HOSTENT*>(base);
  char* p = base + sizeof(HOSTENT);
  auto** aliases = reinterpret_cast<char**>(p);
  aliases[0] = nullptr;
  p += sizeof(char*);
  auto** list = reinterpret_cast<char**>(p);
  p += (n + 1) * sizeof(char*);
  for (size_t i = 0; i < n; ++i) {
    std::memcpy(p, &t.addresses[i], 4);
    list[i] = p;
    p += 4;
  }
  list[n] = nullptr;
  std::memcpy(p, t.name.c_str(), nameLen);
  he->h_name = p;
  he->h_aliases = aliases;
  he->h_addrtype = static_cast<int16_t>(kWsAfInet);
  he->h_length = 4;
  he->h_addr_list = list;
  return static_cast<int>(need);
}

}  // namespace

int MapErrno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES: return WSAEACCES;
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: return WSAEMFILE;
    case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return WSAEWOULDBLOCK;
#endif
    case EINPROGRESS: return WSAEWOULDBLOCK;  // a non-blocking connect under way
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case EPIPE: return WSAECONNRESET;  // sending on a connection the peer has reset
    case ENOBUFS: return WSAENOBUFS;
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return kUnmappedErrorBase + err;
  }
}

int WSAStartup(WORD versionRequested, WSADATA* data) {
  if ((versionRequested & 0xff) < 1) return WSAVERNOTSUPPORTED;
  ++g_startupCount;
  if (data) {
    *data = WSADATA{};
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    std::strcpy(data->szDescription, "Kelvo sockets on POSIX");
    std::strcpy(data->szSystemStatus, "Running");
    data->iMaxSockets = static_cast<uint16_t>(kLastHandle - kFirstHandle + 1);
  }
  return 0;
}

int WSACleanup() {
  if (g_startupCount <= 0) return Fail(WSANOTINITIALISED);
  --g_startupCount;
  return 0;
}

int WSAStartupCount() { return g_startupCount; }
int WSAGetLastError() { return t_lastError; }
void WSASetLastError(int error) { t_lastError = error; }

SOCKET socket(int af, int type, int protocol) {
  if (g_startupCount <= 0) {
    Fail(WSANOTINITIALISED);
    return INVALID_SOCKET;
  }
  if (af != kWsAfInet) {
    Fail(WSAEAFNOSUPPORT);
    return INVALID_SOCKET;
  }
  if (type != kWsSockStream || (protocol != 0 && protocol != 6)) {
    Fail(WSAESOCKTNOSUPPORT);
    return INVALID_SOCKET;
  }
  SOCKET h = AllocateHandle();
  if (h == INVALID_SOCKET) {
    Fail(WSAEMFILE);
    return INVALID_SOCKET;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Fail(MapErrno(errno));
    return INVALID_SOCKET;
  }
  SockRec rec;
  rec.fd = fd;
  Sockets()[h] = std::move(rec);
  return h;
}

int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
  SockRec* rec = Find(s);
  if (!rec) return Fail(WSAENOTSOCK);
  if (level != kWsSolSocket || optname != kWsSoLinger) return Fail(WSAENOPROTOOPT);
  if (!optval || optlen < static_cast<int>(sizeof(LINGER))) return Fail(WSAEFAULT);
  LINGER l;
  std::memcpy(static_cast<void*>(&l), optval, sizeof l);
  struct linger pl;
  pl.l_onoff = l.l_onoff ? 1 : 0;
  pl.l_linger = l.l_linger;
  if (::setsockopt(rec->fd, SOL_SOCKET, SO_LINGER, &pl, sizeof pl) != 0) return Fail(MapErrno(errno));
  return 0;
}

int connect(SOCKET s, const SOCKADDR* name, int namelen) {
  SockRec* rec = Find(s);
  if (!rec) return Fail(WSAENOTSOCK);
  if (!name || namelen < static_cast<int>(sizeof(SOCKADDR_IN))) return Fail(WSAEFAULT);
  SOCKADDR_IN in;
  std::memcpy(static_cast<void*>(&in), name, sizeof in);
  if (in.sin_family != kWsAfInet) return Fail(WSAEAFNOSUPPORT);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = in.sin_port;
  sa.sin_addr.s_addr = in.sin_addr.s_addr;
  int r = ::connect(rec->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  if (r == 0) {
    // Completed at once; the notice comes as it would for a slow peer.
    if (rec->state == SockState::Idle) rec->state = SockState::Connecting;
    return 0;
  }
  int err = errno;
  if (err == EINPROGRESS) {
    rec->state = SockState::Connecting;
    return Fail(WSAEWOULDBLOCK);
  }
  if (ReportedByConnectNotice(err)) {
    // Whether the kernel knows at once or only later that the peer cannot
    // be reached, the caller learns it the same way: from the connect
    // notice, as for a connect that fails while under way.
    rec->state = SockState::Failed;
    PostNotice(s, *rec, FD_CONNECT, MapErrno(err));
    return Fail(WSAEWOULDBLOCK);
  }
  return Fail(MapErrno(err));
}

int send(SOCKET s, const char* buf, int len, int flags) {
  SockRec* rec = Find(s);
  if (!rec) return Fail(WSAENOTSOCK);
  if (len < 0) return Fail(WSAEINVAL);
  int pflags = MSG_NOSIGNAL;
  if (flags & kWsMsgOob) pflags |= MSG_OOB;
  ssize_t n = ::send(rec->fd, buf, static_cast<size_t>(len), pflags);
  if (n < 0) return Fail(MapErrno(errno));
  // The bytes sent carry the acknowledgement of everything received.
  if (n > 0) rec->unacknowledged = false;
  return static_cast<int>(n);
}

namespace {

// A receive straight from the kernel: the error is mapped, and a reset is
// kept for the receives after it.
int KernelRecv(SockRec& rec, char* buf, size_t len, int pflags) {
  ssize_t n = ::recv(rec.fd, buf, len, pflags);
  if (n < 0) {
    int err = MapErrno(errno);
    if (err == WSAECONNRESET) rec.stickyError = err;
    return Fail(err);
  }
  if (n > 0) rec.unacknowledged = true;
  return static_cast<int>(n);
}

}  // namespace

namespace {

// A receive into buf, or, with buf null, one that copies the bytes nowhere.
int Receive(SOCKET s, char* buf, int len, int flags) {
  SockRec* rec = Find(s);
  if (!rec) return Fail(WSAENOTSOCK);
  if (len < 0) return Fail(WSAEINVAL);
  // Every receive enables the next read notice.
  if (rec->state == SockState::Connected && !rec->closeReported) rec->readArmed = true;
  const bool peek = (flags & kWsMsgPeek) != 0;
  // Out-of-band bytes and empty receives do not touch the buffer.
  if ((flags & kWsMsgOob) || len == 0) {
    if (rec->stickyError) return Fail(rec->stickyError);
    int pflags = peek ? MSG_PEEK : 0;
    if (flags & kWsMsgOob) pflags |= MSG_OOB;
    return KernelRecv(*rec, buf, static_cast<size_t>(len), pflags);
  }
  // The bytes that came before a reset are served first, from the buffer
  // and then from the kernel (which keeps them); the kept error is reported
  // once neither has any left, and by every receive after that.
  if (rec->Buffered() == 0) {
    if (rec->buffer.empty()) rec->buffer.resize(kReceiveBufferSize);
    int n = KernelRecv(*rec, rec->buffer.data(), rec->buffer.size(), 0);
    if (n <= 0 && rec->stickyError) return Fail(rec->stickyError);
    if (n <= 0) return n;  // the end of the stream, or the error as it is
    rec->head = 0;
    rec->tail = static_cast<size_t>(n);
  }
  // A peek may come back shorter than what the kernel holds beyond the
  // buffer; the caller looks again.
  const size_t n = std::min(static_cast<size_t>(len), rec->Buffered());
  if (buf) std::memcpy(buf, rec->buffer.data() + rec->head, n);
  if (!peek) {
    rec->head += n;
    if (rec->head == rec->tail) rec->head = rec->tail = 0;
  }
  return static_cast<int>(n);
}

}  // namespace

int recv(SOCKET s, char* buf, int len, int flags) {
  if (!buf && len > 0) return Fail(WSAEFAULT);
  return Receive(s, buf, len, flags);
}

int SkipReceived(SOCKET s, int len) { return Receive(s, nullptr, len, 0); }

int ioctlsocket(SOCKET s, long cmd, uint32_t* argp) {
  SockRec* rec = Find(s);
  if (!rec) return Fail(WSAENOTSOCK);
  if (cmd != kWsFionread || !argp) return Fail(WSAEINVAL);
  int inKernel = 0;
  if (::ioctl(rec->fd, FIONREAD, &inKernel) != 0) inKernel = 0;
  *argp = static_cast<uint32_t>(rec->Buffered() + static_cast<size_t>(std::max(inKernel, 0)));
  return 0;
}

int closesocket(SOCKET s) {
  auto it = Sockets().find(s);
  if (it == Sockets().end()) return Fail(WSAENOTSOCK);
  SockRec rec = std::move(it->second);
  if (g_lastFound.handle == s) g_lastFound = LastFound{};
  Sockets().erase(it);
  // Bytes the caller never received make the close a reset, as unread
  // bytes in the kernel would.
  if (rec.Buffered() > 0) {
    struct linger abortive {1, 0};
    ::setsockopt(rec.fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
  }
  // Notices still queued for this socket belong to nobody now.
  if (rec.hwnd) {
    detail::RemoveQueuedMessages([&](const MSG& m) {
      return m.hwnd == rec.hwnd && m.message == rec.msg && m.wParam == s;
    });
  }
  if (::close(rec.fd) != 0 && errno != EINTR) return Fail(MapErrno(errno));
  return 0;
}

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events) {
  SockRec* rec = Find(s);
  if (!rec) return Fail(WSAENOTSOCK);
  int fl = fcntl(rec->fd, F_GETFL);
  if (fl < 0 || fcntl(rec->fd, F_SETFL, fl | O_NONBLOCK) != 0) return Fail(MapErrno(errno));
  rec->hwnd = events ? hwnd : 0;
  rec->msg = msg;
  rec->mask = events;
  rec->readArmed = true;
  return 0;
}

// The names are in parentheses so that the C library's macros stay out.
uint16_t(htons)(uint16_t v) {
  if constexpr (std::endian::native == std::endian::big) return v;
  return static_cast<uint16_t>((v >> 8) | (v << 8));
}
uint16_t(ntohs)(uint16_t v) { return (htons)(v); }
uint32_t(htonl)(uint32_t v) {
  if constexpr (std::endian::native == std::endian::big) return v;
  return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}
uint32_t(ntohl)(uint32_t v) { return (htonl)(v); }

uint32_t inet_addr(const char* text) {
  if (!text) return 0xffffffffu;
  return ::inet_addr(text);
}

namespace {

int ResolveBySystem(const std::string& name, std::vector<uint32_t>& addresses) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = getaddrinfo(name.c_str(), nullptr, &hints, &res);
  if (rc != 0) return MapLookupError(rc);
  for (addrinfo* a = res; a; a = a->ai_next) {
    if (a->ai_family != AF_INET) continue;
    addresses.push_back(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
  }
  freeaddrinfo(res);
  return 0;
}

void RunLookup(HANDLE id, std::shared_ptr<LookupTask> task) {
  task->error = task->resolver ? task->resolver(task->name, task->addresses)
                               : ResolveBySystem(task->name, task->addresses);
  if (task->error == 0 && task->addresses.empty()) task->error = WSANO_DATA;
  HWND hwnd = task->hwnd;
  UINT msg = task->msg;
  // The record is written on the queue's thread when the answer is taken,
  // and only while the request is still live: a cancelled request or a
  // destroyed window never sees it. A post to a destroyed window fails;
  // its entry went with the window.
  detail::PostMessageWithHook(hwnd, msg, id, 0, [id, task](MSG& m) {
    auto& table = Lookups();
    auto it = table.find(id);
    if (it == table.end() || it->second != task) return false;
    table.erase(it);
    int size = 0;
    int error = task->error;
    if (error == 0) {
      size = WriteHostRecord(*task);
      if (size == 0) error = WSAENOBUFS;
    }
    m.lParam = static_cast<LPARAM>((static_cast<uint32_t>(error & 0xffff) << 16) |
                                   static_cast<uint32_t>(size & 0xffff));
    return true;
  });
  --g_pendingLookups;
}

}  // namespace

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
  if (!name || !buf || buflen <= 0 || !IsWindow(hwnd)) {
    Fail(WSAEINVAL);
    return 0;
  }
  if (g_pendingLookups.load() >= kMaxPendingLookups) {
    Fail(WSAENOBUFS);
    return 0;
  }
  auto task = std::make_shared<LookupTask>();
  task->hwnd = hwnd;
  task->msg = msg;
  task->buf = buf;
  task->buflen = buflen;
  task->name = name;
  task->resolver = InstalledResolver();
  HANDLE id = g_nextTask++;
  Lookups()[id] = task;
  ++g_pendingLookups;
  try {
    std::thread(RunLookup, id, task).detach();
  } catch (...) {
    --g_pendingLookups;
    Lookups().erase(id);
    Fail(WSAENOBUFS);
    return 0;
  }
  return id;
}

int WSACancelAsyncRequest(HANDLE task) {
  if (!Lookups().erase(task)) return Fail(WSAEINVAL);
  return 0;
}

void detail::ForgetLookupsOf(HWND hwnd) {
  auto& table = Lookups();
  for (auto it = table.begin(); it != table.end();) {
    it = it->second->hwnd == hwnd ? table.erase(it) : std::next(it);
  }
}

int LiveLookupCount() { return static_cast<int>(Lookups().size()); }
int RunningLookupHelpers() { return g_pendingLookups.load(); }

void SetHostResolver(HostResolver resolver) { InstalledResolver() = std::move(resolver); }

void WaitForSocketActivity(SOCKET s, int maxWaitMs) {
  // Kept from wait to wait: a socket step may wait for every reply, and no
  // wait should allocate. A wait does not wait again inside.
  thread_local std::vector<WaitSocket> extra;
  extra.clear();
  if (SockRec* rec = Find(s)) {
    switch (rec->state) {
      case SockState::Connecting:
        break;  // its connect notice is watched for in any case
      case SockState::Connected:
        // A receive fails at once after an error, or is served from the
        // buffer: nothing to wait for.
        if (rec->stickyError || rec->Buffered() > 0) return;
        // Also after its close was reported: a closed stream is readable,
        // so the wait does not sleep while the rest is read.
        extra.push_back(WaitSocket{rec->fd, static_cast<short>(POLLIN | POLLRDHUP), 0});
        break;
      case SockState::Idle:
      case SockState::Failed:
        return;  // nothing can arrive; a receive reports "not connected"
    }
  }
  std::optional<Clock::duration> maxWait;
  if (maxWaitMs >= 0) maxWait = std::chrono::milliseconds(maxWaitMs);
  WaitForWork(extra, maxWait);
}

void AcknowledgeAtOnce(SOCKET s) {
#ifdef TCP_QUICKACK
  SockRec* rec = Find(s);
  if (!rec || rec->state != SockState::Connected || !rec->unacknowledged) return;
  rec->unacknowledged = false;
  // The kernel falls back to delayed ACKs by itself, so this is asked anew
  // for every wait; a failure leaves the delayed ACK, no worse.
  const int on = 1;
  ::setsockopt(rec->fd, ::IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
  (void)s;
#endif
}

bool WaitForSocketWritable(SOCKET s, int maxWaitMs) {
  SockRec* rec = Find(s);
  if (!rec) return false;
  pollfd p{rec->fd, POLLOUT, 0};
  for (;;) {
    int n = poll(&p, 1, maxWaitMs < 0 ? -1 : maxWaitMs);
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

int SocketDescriptor(SOCKET s) {
  SockRec* rec = Find(s);
  return rec ? rec->fd : -1;
}

void detail::CollectSocketWatches(std::vector<WaitSocket>& out) {
  for (auto& [h, rec] : Sockets()) {
    if (!rec.hwnd) continue;
    short events = 0;
    if (rec.state == SockState::Connecting) {
      events = POLLOUT;
    } else if (rec.state == SockState::Connected && !rec.closeReported) {
      events = POLLRDHUP;
      if (rec.readArmed && (rec.mask & FD_READ)) events |= POLLIN;
    }
    if (events) out.push_back(WaitSocket{rec.fd, events, 0});
  }
}

void detail::PostBufferedReadNotices() {
  // The kernel does not know these bytes, so no poll reports them; their
  // read notice comes from here, under the same rules.
  for (auto& [h, rec] : Sockets()) {
    if (rec.Buffered() == 0 || !rec.readArmed || rec.state != SockState::Connected || rec.closeReported) continue;
    if (!rec.hwnd || !(rec.mask & FD_READ)) continue;
    rec.readArmed = false;
    PostNotice(h, rec, FD_READ, 0);
  }
}

void detail::DeliverSocketReadiness(const std::vector<WaitSocket>& ready) {
  for (const WaitSocket& w : ready) {
    if (!w.revents) continue;
    SOCKET handle = INVALID_SOCKET;
    SockRec* rec = nullptr;
    for (auto& [h, r] : Sockets()) {
      if (r.fd == w.fd) {
        handle = h;
        rec = &r;
        break;
      }
    }
    if (!rec) continue;

    if (rec->state == SockState::Connecting) {
      if (!(w.revents & (POLLOUT | POLLERR | POLLHUP))) continue;
      int err = PendingSocketError(rec->fd);
      // A reset or a broken pipe only comes on an established connection:
      // the peer accepted and hung up before this first look. The connect
      // has succeeded, and the stream ends at once with that error.
      const bool lostAtOnce = err == ECONNRESET || err == EPIPE;
      if ((err == 0 || lostAtOnce) && (w.revents & POLLOUT)) {
        rec->state = SockState::Connected;
        rec->readArmed = true;
        PostNotice(handle, *rec, FD_CONNECT, 0);
        if (lostAtOnce) {
          rec->stickyError = MapErrno(err);
          rec->closeReported = true;
          rec->readArmed = false;
          PostNotice(handle, *rec, FD_CLOSE, rec->stickyError);
        }
      } else {
        rec->state = SockState::Failed;
        PostNotice(handle, *rec, FD_CONNECT, MapErrno(err ? err : ECONNREFUSED));
      }
      continue;
    }
    if (rec->state != SockState::Connected || rec->closeReported) continue;

    // Readable without a hang-up or error means bytes wait: only the other
    // cases need a look at the stream.
    const bool hangUp = (w.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    bool hasData = (w.revents & POLLIN) != 0;
    int peekErr = 0;
    if (hangUp) {
      char probe;
      ssize_t n = ::recv(rec->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
      peekErr = n < 0 ? errno : 0;
      hasData = n > 0 || rec->Buffered() > 0;
    }
    if (hasData && rec->readArmed && (w.revents & POLLIN)) {
      rec->readArmed = false;
      PostNotice(handle, *rec, FD_READ, 0);
    }
    // Any hang-up ends the stream for the component, bytes still waiting
    // or not: it reads them before it closes.
    if (hangUp) {
      int err = peekErr && peekErr != EAGAIN && peekErr != EWOULDBLOCK ? peekErr : PendingSocketError(rec->fd);
      int wsaErr = MapErrno(err);
      // The error is taken from the socket here, so every later receive
      // must still report it.
      if (wsaErr != 0) rec->stickyError = wsaErr;
      rec->closeReported = true;
      rec->readArmed = false;
      PostNotice(handle, *rec, FD_CLOSE, wsaErr);
    }
  }
}

}  // namespace platform
