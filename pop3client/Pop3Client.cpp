#include "pop3client/Pop3Client.h"

// Interim bodies while the client is being written.
TPop3Client::TPop3Client(platform::TComponent* owner)
    : TSocketBase(owner),
      summary_(std::make_unique<TSummary>()),
      mailMessage_(std::make_unique<TMailMessage>()),
      uuProcessor_(new TUUProcessor(this)) {
  Port = kDefaultPort;
}
TPop3Client::~TPop3Client() = default;
void TPop3Client::Connect() { throw ESockError("POP3 client not available yet"); }
void TPop3Client::Disconnect() {}
void TPop3Client::Abort() { Cancel(); }
void TPop3Client::ListSizes() { throw ESockError("POP3 client not available yet"); }
void TPop3Client::FetchSummary(int32_t) { throw ESockError("POP3 client not available yet"); }
void TPop3Client::DeleteMessage(int32_t) { throw ESockError("POP3 client not available yet"); }
void TPop3Client::SetAttachFilePath(const std::string& path) {
  attachFilePath_ = path;
  if (attachFilePath_.empty() || attachFilePath_.back() != '\\') attachFilePath_ += '\\';
}
std::string TPop3Client::ReadReplyLine(const char*) { return {}; }
