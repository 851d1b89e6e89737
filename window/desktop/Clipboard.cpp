#include "window/desktop/Clipboard.h"

#include "platform/Exceptions.h"
#include "window/desktop/TextCodec.h"

#include <QClipboard>
#include <QGuiApplication>

namespace desktop {
namespace {

constexpr const char* kCannotOpen = "Zwischenablage kann nicht geöffnet werden";

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
  OpenClipboard()->setText(BytesToQString(bytes), QClipboard::Clipboard);
}

std::string ClipboardText() { return QStringToBytes(OpenClipboard()->text(QClipboard::Clipboard)); }

TClipboardOpenHook SetClipboardOpenHook(TClipboardOpenHook hook) {
  TClipboardOpenHook previous = std::move(OpenHook());
  OpenHook() = std::move(hook);
  return previous;
}

}  // namespace desktop
