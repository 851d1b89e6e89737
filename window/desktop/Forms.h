// The form (a main window holding aligned controls) and the desktop
// application: set-up, the main loop and the request to end it.
//
// The main loop runs until platform::Application().Terminated is set. A
// request to end (the main form's close box, Terminate) only sets that flag,
// so a wait that pumps events inside a handler never ends because of it; the
// loop ends once the handler has returned. The form is never destroyed by
// closing it: the program frees it after the loop.
#pragma once

#include "platform/Component.h"
#include "window/desktop/Controls.h"

#include <QApplication>
#include <QMainWindow>

#include <string>

namespace desktop {

enum class TPosition { poDesigned, poScreenCenter };

class TForm : public QMainWindow, public platform::TComponent {
 public:
  explicit TForm(platform::TComponent* owner = nullptr);
  ~TForm() override;

  std::string Name;

  // Parent for the form's controls; it arranges their alignment.
  QWidget* Client() const { return client_; }

  const std::string& Caption() const { return caption_; }
  void SetCaption(const std::string& caption);

  // Outer size, frame and title bar included. Until the desktop has put its
  // frame around the shown form, the whole size goes to the form itself;
  // once the frame is known, the form shrinks to keep the outer size (and a
  // centred form is centred again), unless the user has resized it.
  void SetOuterSize(int width, int height);
  int OuterWidth() const { return outerWidth_; }
  int OuterHeight() const { return outerHeight_; }
  void SetPosition(TPosition position) { position_ = position; }
  void SetFont(const TFontSpec& spec);

  // Run once right after construction by CreateForm (the form's creation
  // event); a failure in it goes to the default error dialog before the
  // form is shown.
  platform::TNotifyEvent OnCreate;
  void DoCreate();

  // Once the form is open in its frame, when that has changed its size
  // from the one it was made with: the desktop's frame is known only then,
  // so what the creation event sized from the client area can be sized
  // again for the client area that remains.
  platform::TNotifyEvent OnFrameFitted;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // The frame as the desktop reports it now (none before it is known).
  QMargins Frame() const;
  // Sizes the form so that form and frame fill the outer size.
  void FitOuterSize();
  void CentreOnScreen();
  // After a move, resize or exposure of the native window: fits the outer
  // size again when the frame has come or changed since the last fit.
  void FollowFrame();

  QWidget* client_;
  std::string caption_;
  int outerWidth_ = 0;
  int outerHeight_ = 0;
  TPosition position_ = TPosition::poDesigned;
  bool placed_ = false;
  QMargins fittedFrame_;
  QSize fittedSize_;
};

// The first form made with CreateForm becomes the main form.
template <class T, class... Args>
T* CreateForm(Args&&... args);
TForm* MainForm();
void SetMainForm(TForm* form);

// The application object of a desktop program: a QApplication whose event
// dispatch hands an escaping failure to the default error dialog.
class TDesktopApplication : public QApplication {
 public:
  TDesktopApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

// What a desktop program needs before its first form: the font
// substitutes, the default error dialog bound to the application's report
// of failures, no quitting on the last window's close, and the Qt event
// source under the socket layer (QtEventSource.h). Idempotent. Needs a
// QApplication.
void InitializeDesktop();

// Shows the main form and runs the main loop until Terminated is set.
void Run();
// Notes the request to end the main loop.
void Terminate();
// Dispatches every waiting event (the socket layer's messages and Qt's) and
// returns without waiting.
void ProcessMessages();

template <class T, class... Args>
T* CreateForm(Args&&... args) {
  T* form = new T(std::forward<Args>(args)...);
  if (!MainForm()) SetMainForm(form);
  Realize(form);  // sizes are known in the creation event, as on a designed form
  form->DoCreate();
  return form;
}

}  // namespace desktop
