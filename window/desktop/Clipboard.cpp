#include "window/desktop/Clipboard.h"

#include "platform/Exceptions.h"
#include "window/desktop/TextCodec.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace desktop {
namespace {

constexpr const char* kCannotOpen = "Zwischenablage kann nicht geöffnet werden";
// Beside the plain text, the bytes it was made of, for this program only.
constexpr const char* kBytesFormat = "application/x-kelvo-text-bytes";

TClipboardOpenHook& OpenHook() {
  static TClipboardOpenHook hook;
  return hook;
}

QClipboard* OpenClipboard() {
  if (OpenHook() && !OpenHook()()) throw platform::EClipboardException(kCannotOpen);
  QClipboard* clipboard = qobject_cast<QGuiApplication*>(QCoreApplication::instance())
                              ? QGuiApplication::clipboard()
                              : nullptr;
  if (!clipboard) throw platform::EClipboardException(kCannotOpen);
  return clipboard;
}

}  // namespace

void ClipboardSetText(const std::string& bytes) {
  QClipboard* clipboard = OpenClipboard();
  auto* data = new QMimeData;
  data->setText(LinesToQString(bytes));
  data->setData(QString::fromLatin1(kBytesFormat), QByteArray::fromStdString(bytes));
  clipboard->setMimeData(data, QClipboard::Clipboard);
}

std::string ClipboardText() {
  QClipboard* clipboard = OpenClipboard();
  if (const QMimeData* data = clipboard->mimeData(QClipboard::Clipboard))
    if (std::optional<std::string> bytes = ClipboardBytes(*data)) return *bytes;
  return QStringToBytes(clipboard->text(QClipboard::Clipboard));
}

std::optional<std::string> ClipboardBytes(const QMimeData& data) {
  const QString format = QString::fromLatin1(kBytesFormat);
  if (!data.hasFormat(format) || !data.hasText()) return std::nullopt;
  std::string bytes = data.data(format).toStdString();
  // Another program may have replaced the text but kept our bytes.
  if (LinesToQString(bytes) != data.text()) return std::nullopt;
  return bytes;
}

TClipboardOpenHook SetClipboardOpenHook(TClipboardOpenHook hook) {
  TClipboardOpenHook previous = std::move(OpenHook());
  OpenHook() = std::move(hook);
  return previous;
}

}  // namespace desktop
