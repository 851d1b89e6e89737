#include "window/desktop/Forms.h"

#include "window/desktop/Dialogs.h"
#include "window/desktop/Events.h"
#include "window/desktop/QtEventSource.h"
#include "window/desktop/TextCodec.h"

#include "platform/Exceptions.h"
#include "platform/Messages.h"

#include <QAbstractEventDispatcher>
#include <QCloseEvent>
#include <QPointer>
#include <QScreen>
#include <QWindow>

#include <algorithm>

namespace desktop {
namespace {

QPointer<TForm>& MainFormSlot() {
  static QPointer<TForm> form;
  return form;
}

QPointer<TQtEventSource>& QtEventSourceSlot() {
  static QPointer<TQtEventSource> source;
  return source;
}

}  // namespace

TForm::TForm(platform::TComponent* owner) : platform::TComponent(owner) {
  client_ = new QWidget(this);
  setCentralWidget(client_);
  MakeAlignContainer(client_);
}

TForm::~TForm() {
  BeginDestroy();
  if (MainFormSlot() == this) MainFormSlot() = nullptr;
}

void TForm::SetCaption(const std::string& caption) {
  caption_ = caption;
  setWindowTitle(BytesToQString(caption));
}

void TForm::SetOuterSize(int width, int height) {
  outerWidth_ = width;
  outerHeight_ = height;
  FitOuterSize();
  Realize(this);
}

QMargins TForm::Frame() const {
  const QWindow* window = windowHandle();
  return window ? window->frameMargins() : QMargins();
}

void TForm::FitOuterSize() {
  const QMargins frame = Frame();
  resize(std::max(1, outerWidth_ - frame.left() - frame.right()),
         std::max(1, outerHeight_ - frame.top() - frame.bottom()));
  fittedFrame_ = frame;
  fittedSize_ = size();
}

void TForm::CentreOnScreen() {
  QScreen* s = screen();
  if (!s) return;
  const QMargins frame = Frame();
  QRect outer(QPoint(), size().grownBy(frame));
  outer.moveCenter(s->availableGeometry().center());
  // A window's position is that of its frame.
  move(outer.topLeft());
}

void TForm::SetFont(const TFontSpec& spec) { setFont(MakeFont(spec)); }

void TForm::DoCreate() { Fire(OnCreate, this); }

bool TForm::eventFilter(QObject* watched, QEvent* event) {
  // The desktop reports its frame to the native window, whose client part
  // may keep its place and size: the form's own events do not show it.
  if (watched == windowHandle()) {
    const QEvent::Type t = event->type();
    if (t == QEvent::Move || t == QEvent::Resize || t == QEvent::Expose) FollowFrame();
  }
  return QMainWindow::eventFilter(watched, event);
}

void TForm::FollowFrame() {
  if (!placed_ || outerWidth_ <= 0 || outerHeight_ <= 0) return;
  const QMargins frame = Frame();
  if (frame == fittedFrame_) return;
  // A size the user has chosen stays.
  if (size() != fittedSize_) {
    fittedFrame_ = frame;
    return;
  }
  FitOuterSize();
  if (position_ == TPosition::poScreenCenter) CentreOnScreen();
  Fire(OnFrameFitted, this);
}

void TForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  // The native window is new after each re-creation (a change of flags).
  if (QWindow* window = windowHandle()) window->installEventFilter(this);
  if (placed_) return;
  placed_ = true;
  const QSize made = size();
  if (outerWidth_ > 0 && outerHeight_ > 0) FitOuterSize();
  if (position_ == TPosition::poScreenCenter) CentreOnScreen();
  if (size() != made) Fire(OnFrameFitted, this);
}

void TForm::closeEvent(QCloseEvent* event) {
  if (MainFormSlot() == this) {
    // The window stays until the loop has ended; work in progress finishes.
    Terminate();
    event->ignore();
    return;
  }
  QMainWindow::closeEvent(event);
}

TForm* MainForm() { return MainFormSlot().data(); }
void SetMainForm(TForm* form) { MainFormSlot() = form; }

TDesktopApplication::TDesktopApplication(int& argc, char** argv) : QApplication(argc, argv) {
  InitializeDesktop();
}

bool TDesktopApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& e) {
    ReportFailure(e);
  } catch (...) {
    ReportFailure(platform::Exception("Unbekannter Fehler"));
  }
  return false;
}

void InitializeDesktop() {
  static bool done = false;
  if (done) return;
  done = true;
  QApplication::setQuitOnLastWindowClosed(false);
  InstallFontSubstitutes();
  InstallDefaultErrorDialog();
  // Lives as long as the application object; the socket layer's waits
  // block in Qt's loop from now on.
  QtEventSourceSlot() = new TQtEventSource(QCoreApplication::instance());
}

TQtEventSource* QtEventSource() { return QtEventSourceSlot().data(); }

void Run() {
  if (TForm* form = MainForm()) form->show();
  auto& app = platform::Application();
  while (!app.Terminated) {
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    // Outside any handler: objects whose deletion was deferred go now.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
}

void Terminate() {
  platform::Application().Terminated = true;
  if (auto* dispatcher = QAbstractEventDispatcher::instance()) dispatcher->wakeUp();
}

void ProcessMessages() {
  // With the Qt source in place the socket layer's pump takes Qt's events
  // too; without it only Qt's events are there.
  if (QtEventSource())
    platform::ProcessMessages();
  else
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace desktop
