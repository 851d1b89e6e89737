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
  // Until the frame is known, the whole size goes to the inner window.
  const QSize frame = frameGeometry().size() - geometry().size();
  resize(std::max(1, width - frame.width()), std::max(1, height - frame.height()));
  Realize(this);
}

void TForm::SetFont(const TFontSpec& spec) { setFont(MakeFont(spec)); }

void TForm::DoCreate() { Fire(OnCreate, this); }

void TForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (placed_) return;
  placed_ = true;
  if (outerWidth_ > 0 && outerHeight_ > 0) SetOuterSize(outerWidth_, outerHeight_);
  if (position_ == TPosition::poScreenCenter) {
    if (QScreen* s = screen()) {
      const QRect avail = s->availableGeometry();
      QRect frame = frameGeometry();
      frame.moveCenter(avail.center());
      move(frame.topLeft());
    }
  }
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
