#include "window/desktop/Dialogs.h"

#include "platform/Component.h"
#include "platform/Exceptions.h"
#include "window/desktop/TextCodec.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

namespace desktop {
namespace {

TMessageBoxHook& Hook() {
  static TMessageBoxHook hook;
  return hook;
}

// Room in a title bar beside the caption: the window menu at the left and
// the minimize, maximize and close buttons at the right, with their gaps.
constexpr int kTitleBarRoom = 140;

// A box is as wide as its text needs; one with a short text would cut its
// caption. The caption is measured in the bold face title bars use.
void FitCaption(QMessageBox& box) {
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  if (!grid) return;
  QFont titleFont = box.font();
  titleFont.setBold(true);
  const int width = QFontMetrics(titleFont).horizontalAdvance(box.windowTitle()) + kTitleBarRoom;
  grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0, 1,
                grid->columnCount());
}

int ShowRealBox(const TMessageBoxCall& call) {
  QMessageBox box(QApplication::activeWindow());
  box.setWindowTitle(BytesToQString(call.Caption));
  // Texts come from servers and files: never markup, links or images.
  box.setTextFormat(Qt::PlainText);
  box.setText(BytesToQString(call.Text));
  switch (call.Icon()) {
    case TMsgIcon::Error: box.setIcon(QMessageBox::Critical); break;
    case TMsgIcon::Question: box.setIcon(QMessageBox::Question); break;
    case TMsgIcon::Warning: box.setIcon(QMessageBox::Warning); break;
    case TMsgIcon::Information: box.setIcon(QMessageBox::Information); break;
    case TMsgIcon::None: break;
  }
  box.setStandardButtons(QMessageBox::Ok);
  FitCaption(box);
  box.exec();
  return IDOK;
}

}  // namespace

TMsgIcon IconOf(unsigned flags) {
  switch (flags & MB_ICONMASK) {
    case MB_ICONHAND: return TMsgIcon::Error;
    case MB_ICONQUESTION: return TMsgIcon::Question;
    case MB_ICONEXCLAMATION: return TMsgIcon::Warning;
    case MB_ICONASTERISK: return TMsgIcon::Information;
    default: return TMsgIcon::None;
  }
}

int MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  TMessageBoxCall call{text, caption, flags};
  if (Hook()) return Hook()(call);
  return ShowRealBox(call);
}

TMessageBoxHook SetMessageBoxHook(TMessageBoxHook hook) {
  TMessageBoxHook previous = std::move(Hook());
  Hook() = std::move(hook);
  return previous;
}

TMessageBoxRecorder::TMessageBoxRecorder() {
  previous_ = SetMessageBoxHook([this](const TMessageBoxCall& call) {
    calls_.push_back(call);
    if (WhileOpen) WhileOpen(call);
    return IDOK;
  });
}

TMessageBoxRecorder::~TMessageBoxRecorder() { SetMessageBoxHook(std::move(previous_)); }

std::vector<std::string> TMessageBoxRecorder::Texts() const {
  std::vector<std::string> texts;
  for (const auto& c : calls_) texts.push_back(c.Text);
  return texts;
}

std::string ErrorDialogText(const std::string& message) {
  std::string text = message;
  if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.'))
    text += '.';
  return text;
}

std::string FailureMessage(const std::exception& failure) { return platform::FailureMessage(failure); }

void ShowException(const std::exception& failure) {
  MessageBox(ErrorDialogText(FailureMessage(failure)), platform::Application().Title,
             MB_OK | MB_ICONSTOP);
}

void InstallDefaultErrorDialog() {
  platform::Application().OnException = [](const std::exception& e) { ShowException(e); };
}

}  // namespace desktop
