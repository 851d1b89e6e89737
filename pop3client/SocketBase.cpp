#include "pop3client/SocketBase.h"

// Interim bodies while the socket layer is being written: everything that
// would touch the network fails.
namespace {
[[noreturn]] void NotYet() { throw ESockError("socket layer not available yet"); }
}  // namespace

TThreadTimer::TThreadTimer(platform::TComponent* owner) : platform::TComponent(owner) {}
TThreadTimer::~TThreadTimer() = default;
void TThreadTimer::SetEnabled(bool value) { enabled_ = value; }
void TThreadTimer::SetInterval(uint32_t value) { interval_ = value; }
void TThreadTimer::SetOnTimer(platform::TNotifyEvent handler) { onTimer_ = std::move(handler); }
void TThreadTimer::UpdateTimer() {}

std::string NthWord(const std::string& text, char sep, int k) {
  std::string result;
  int count = 0;
  for (char c : text) {
    if (c == sep) {
      if (++count == k) break;
    } else if (count == k - 1) {
      result += c;
    }
  }
  return result;
}

TSocketBase::TSocketBase(platform::TComponent* owner) : platform::TComponent(owner) {
  LineBuffer.resize(kLineLimit + 1);
  LookupBuffer.resize(kLookupBufferSize);
}
TSocketBase::~TSocketBase() = default;
void TSocketBase::Accept() {}
void TSocketBase::Connect() { NotYet(); }
void TSocketBase::Disconnect() { NotYet(); }
void TSocketBase::Transaction(const std::string&, std::string&) { NotYet(); }
void TSocketBase::Abort() { canceled_ = true; }
void TSocketBase::ReadLn(std::string&) { NotYet(); }
void TSocketBase::SendLine(const std::string&) { NotYet(); }
void TSocketBase::SendText(const std::string&) { NotYet(); }
void TSocketBase::SendBuffer(const char*, int32_t) { NotYet(); }
void TSocketBase::CheckConnected() { NotYet(); }
void TSocketBase::Cancel() { canceled_ = true; }
void TSocketBase::CloseSocketHandle() { connected_ = false; }
void TSocketBase::RaiseSocketError(int32_t) {}
std::string TSocketBase::ErrorText(int32_t) { return {}; }
const std::vector<std::pair<int32_t, const char*>>& TSocketBase::SocketErrorTexts() {
  static const std::vector<std::pair<int32_t, const char*>> table;
  return table;
}
void TSocketBase::ResolveHost() { NotYet(); }
void TSocketBase::TimerOn() {}
void TSocketBase::TimerOff() {}
void TSocketBase::TimerFired(platform::TObject*) {}
void TSocketBase::HandleNotice(platform::UINT, platform::WPARAM, platform::LPARAM) {}
void TSocketBase::ReportStatus(int, const std::string&) {}
bool TSocketBase::DataAvailable() { return false; }
void TSocketBase::ClearInput() {}
int32_t TSocketBase::StartupCount() { return 0; }
void TSocketBase::SocketStartup() {}
void TSocketBase::RegisterNotices() {}
void TSocketBase::WaitForConnection() {}
void TSocketBase::CancelLookup() {}
