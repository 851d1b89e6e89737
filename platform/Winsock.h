// A small Windows Sockets 1.1 layer on POSIX sockets: the calls the socket
// component makes, under the Windows Sockets names, with the Windows Sockets
// error numbers (errno is mapped onto them, so the component's error texts
// read the same on every platform) and the asynchronous notices as window
// messages. IPv4 TCP only.
//
// Receives are served from a buffer per socket: one receive from the
// kernel takes what it holds, peeks and receives take from the buffer until
// it is empty. Nothing of it shows above this layer: notices, waits, the
// close (a reset when bytes were never received) and FIONREAD count the
// buffered bytes as bytes waiting.
//
// Notices (WSAAsyncSelect): FD_CONNECT once when a connect completes, with
// the error in the high 16 bits of lParam (also when the kernel knows at
// once that the peer cannot be reached: connect itself then reports only
// would-block); FD_READ when bytes wait, posted
// once and re-armed by the next recv; FD_CLOSE once when the peer closes
// (error 0) or resets (10054). Notices are found while the queue waits or
// pumps; a notice still queued for a socket that is closed is dropped.
//
// A reset does not take back what came before it: receives serve those
// bytes first, from the buffer and then from the kernel, and report the
// reset once none are left, and on every receive after that.
//
// Host lookups (WSAAsyncGetHostByName) run on a helper thread; the answer
// is a message through the queue, and the host record is written into the
// caller's buffer on the caller's thread when that message is taken, only
// while the request is live (not cancelled, window not destroyed). The
// layer forgets a request when it is answered, cancelled or its window is
// destroyed, whichever comes first; a helper still resolving then finishes
// on its own and touches nothing of the caller's.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Messages.h"

// The C library defines some of the same names as macros; our declarations
// must not be rewritten by them, whichever header comes first.
#pragma push_macro("AF_INET")
#pragma push_macro("SOCK_STREAM")
#pragma push_macro("IPPROTO_TCP")
#pragma push_macro("SOL_SOCKET")
#pragma push_macro("SO_LINGER")
#pragma push_macro("MSG_PEEK")
#pragma push_macro("MSG_OOB")
#pragma push_macro("INADDR_NONE")
#pragma push_macro("FIONREAD")
#pragma push_macro("htons")
#pragma push_macro("ntohs")
#pragma push_macro("htonl")
#pragma push_macro("ntohl")
#undef AF_INET
#undef SOCK_STREAM
#undef IPPROTO_TCP
#undef SOL_SOCKET
#undef SO_LINGER
#undef MSG_PEEK
#undef MSG_OOB
#undef INADDR_NONE
#undef FIONREAD
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

namespace platform {

using SOCKET = uintptr_t;
using HANDLE = uintptr_t;
using WORD = uint16_t;

inline constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
inline constexpr int SOCKET_ERROR = -1;

inline constexpr int AF_INET = 2;
inline constexpr int SOCK_STREAM = 1;
inline constexpr int IPPROTO_TCP = 6;
inline constexpr int SOL_SOCKET = 0xffff;
inline constexpr int SO_LINGER = 0x0080;
inline constexpr int MSG_OOB = 1;
inline constexpr int MSG_PEEK = 2;
inline constexpr uint32_t INADDR_NONE = 0xffffffffu;

inline constexpr long FIONREAD = 0x4004667F;  // ioctlsocket: bytes waiting

inline constexpr long FD_READ = 0x01;
inline constexpr long FD_WRITE = 0x02;
inline constexpr long FD_OOB = 0x04;
inline constexpr long FD_ACCEPT = 0x08;
inline constexpr long FD_CONNECT = 0x10;
inline constexpr long FD_CLOSE = 0x20;

// Every socket error number lies above this base; numbers at or below it
// are no socket errors.
inline constexpr int WSABASEERR = 10000;
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETOOMANYREFS = 10059;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAELOOP = 10062;
inline constexpr int WSAENAMETOOLONG = 10063;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAENOTEMPTY = 10066;
inline constexpr int WSAEPROCLIM = 10067;
inline constexpr int WSAEUSERS = 10068;
inline constexpr int WSAEDQUOT = 10069;
inline constexpr int WSAESTALE = 10070;
inline constexpr int WSAEREMOTE = 10071;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;
// errno values without a Windows Sockets counterpart come out as this base
// plus errno, so that their text reads "Unknown Error No. ...".
inline constexpr int kUnmappedErrorBase = 12000;

// The size of a host record a lookup buffer needs at least.
inline constexpr int MAXGETHOSTSTRUCT = 1024;

struct WSADATA {
  WORD wVersion = 0;
  WORD wHighVersion = 0;
  char szDescription[257] = {};
  char szSystemStatus[129] = {};
  uint16_t iMaxSockets = 0;
  uint16_t iMaxUdpDg = 0;
  char* lpVendorInfo = nullptr;
};

struct in_addr_w {
  uint32_t s_addr = 0;  // network byte order
};

struct SOCKADDR_IN {
  int16_t sin_family = 0;
  uint16_t sin_port = 0;  // network byte order
  in_addr_w sin_addr;
  char sin_zero[8] = {};
};
static_assert(sizeof(SOCKADDR_IN) == 16);

struct SOCKADDR {
  uint16_t sa_family = 0;
  char sa_data[14] = {};
};

struct LINGER {
  uint16_t l_onoff = 0;
  uint16_t l_linger = 0;
};

// The host record a lookup writes into the caller's buffer; every pointer
// points into that same buffer.
struct HOSTENT {
  char* h_name = nullptr;
  char** h_aliases = nullptr;
  int16_t h_addrtype = 0;
  int16_t h_length = 0;
  char** h_addr_list = nullptr;
};

// Process-wide start-up count: every call but the first only counts.
int WSAStartup(WORD versionRequested, WSADATA* data);
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);
// How many WSAStartup calls are not yet matched by WSACleanup.
int WSAStartupCount();

SOCKET socket(int af, int type, int protocol);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int connect(SOCKET s, const SOCKADDR* name, int namelen);
int send(SOCKET s, const char* buf, int len, int flags);
int recv(SOCKET s, char* buf, int len, int flags);
int closesocket(SOCKET s);
// FIONREAD only: the bytes a receive would find now, those the layer holds
// included.
int ioctlsocket(SOCKET s, long cmd, uint32_t* argp);
// Registers the socket's notices (events 0: none) and makes it non-blocking.
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long events);

uint16_t htons(uint16_t v);
uint16_t ntohs(uint16_t v);
uint32_t htonl(uint32_t v);
uint32_t ntohl(uint32_t v);
// Dotted IPv4 address in network byte order, INADDR_NONE when it is none.
uint32_t inet_addr(const char* text);

// The answer comes as msg to hwnd: wParam the task handle, lParam the record
// size in the low and the error in the high 16 bits. Returns 0 when refused.
HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen);
// The answer of a cancelled request is never delivered or written.
int WSACancelAsyncRequest(HANDLE task);

// Not Windows Sockets: a receive of up to len bytes that copies them
// nowhere, for bytes a peek has already shown; the same count and errors
// as recv.
int SkipReceived(SOCKET s, int len);

// Not Windows Sockets: the wait of a socket step. Blocks until the socket is
// readable, a message or notice waits, a timer is due, or maxWaitMs passes
// (negative: no limit); then returns without dispatching anything. It does
// not block for a socket on which nothing more can come that a receive
// would wait for: one that is not connected, or whose receive fails at once
// after an error. A socket whose peer has closed is readable.
// INVALID_SOCKET waits for the rest only.
void WaitForSocketActivity(SOCKET s, int maxWaitMs);

// Not Windows Sockets: has the kernel acknowledge at once the bytes received
// since the socket last sent or asked this, where the platform can
// (TCP_QUICKACK); nothing when there are none, nor elsewhere. For a wait on
// the rest of a reply: a peer that holds the rest until the first piece is
// acknowledged (Nagle's rule) would wait for the delayed ACK otherwise.
// Failures are ignored.
void AcknowledgeAtOnce(SOCKET s);

// Not Windows Sockets: blocks, without pumping, until the socket can take
// more bytes or maxWaitMs passes (negative: no limit). True when it can.
bool WaitForSocketWritable(SOCKET s, int maxWaitMs);

// errno onto the Windows Sockets number; exposed for the tests.
int MapErrno(int err);
// The POSIX descriptor behind a socket, -1 for none; for tests.
int SocketDescriptor(SOCKET s);
// The host lookups the layer keeps an entry for: asked for, and not yet
// answered, cancelled or dropped with their window. For tests.
int LiveLookupCount();
// The lookup helpers that have not yet posted their answer (or failed to,
// their window gone). For tests.
int RunningLookupHelpers();
// Not Windows Sockets: the resolver behind WSAAsyncGetHostByName, for tests
// (a name that answers late or never). It runs on the lookup's helper
// thread, fills in IPv4 addresses in network byte order and returns 0 or a
// Windows Sockets lookup error. Empty restores the system's resolver. A
// lookup keeps the resolver that was set when it was asked for. On the
// queue's thread.
using HostResolver = std::function<int(const std::string& name, std::vector<uint32_t>& addresses)>;
void SetHostResolver(HostResolver resolver);

}  // namespace platform

#pragma pop_macro("AF_INET")
#pragma pop_macro("SOCK_STREAM")
#pragma pop_macro("IPPROTO_TCP")
#pragma pop_macro("SOL_SOCKET")
#pragma pop_macro("SO_LINGER")
#pragma pop_macro("MSG_PEEK")
#pragma pop_macro("MSG_OOB")
#pragma pop_macro("INADDR_NONE")
#pragma pop_macro("FIONREAD")
#pragma pop_macro("htons")
#pragma pop_macro("ntohs")
#pragma pop_macro("htonl")
#pragma pop_macro("ntohl")
