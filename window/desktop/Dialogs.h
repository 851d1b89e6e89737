// Message boxes and the default error dialog. Every box of the program goes
// through MessageBox, which a hook can take over: tests record the boxes and
// answer OK, so no test ever waits on a modal window.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace desktop {

// Button and icon flags of a message box, by their classic values.
constexpr unsigned MB_OK = 0x00;
constexpr unsigned MB_ICONHAND = 0x10;
constexpr unsigned MB_ICONERROR = MB_ICONHAND;
constexpr unsigned MB_ICONSTOP = MB_ICONHAND;
constexpr unsigned MB_ICONQUESTION = 0x20;
constexpr unsigned MB_ICONEXCLAMATION = 0x30;
constexpr unsigned MB_ICONWARNING = MB_ICONEXCLAMATION;
constexpr unsigned MB_ICONASTERISK = 0x40;
constexpr unsigned MB_ICONINFORMATION = MB_ICONASTERISK;
constexpr unsigned MB_ICONMASK = 0xF0;
constexpr int IDOK = 1;

enum class TMsgIcon { None, Error, Question, Warning, Information };
TMsgIcon IconOf(unsigned flags);

struct TMessageBoxCall {
  std::string Text;
  std::string Caption;
  unsigned Flags = MB_OK;
  TMsgIcon Icon() const { return IconOf(Flags); }
};

// Shows a modal box (the texts are bytes, shown decoded) and returns the
// answer, IDOK for the one OK button.
int MessageBox(const std::string& text, const std::string& caption, unsigned flags = MB_OK);

using TMessageBoxHook = std::function<int(const TMessageBoxCall&)>;
// Replaces the box by the hook (an empty hook brings the real box back) and
// returns the hook that was there.
TMessageBoxHook SetMessageBoxHook(TMessageBoxHook hook);

// Records every box while it lives and answers each with OK.
class TMessageBoxRecorder {
 public:
  TMessageBoxRecorder();
  ~TMessageBoxRecorder();
  TMessageBoxRecorder(const TMessageBoxRecorder&) = delete;
  TMessageBoxRecorder& operator=(const TMessageBoxRecorder&) = delete;

  const std::vector<TMessageBoxCall>& Calls() const { return calls_; }
  std::vector<std::string> Texts() const;
  void Clear() { calls_.clear(); }

  // Runs while the box would be open (the program's events may run then).
  std::function<void(const TMessageBoxCall&)> WhileOpen;

 private:
  std::vector<TMessageBoxCall> calls_;
  TMessageBoxHook previous_;
};

// The text of the default error dialog: the message, with a full stop added
// unless it is empty or ends in "." or a character that sorts before it.
std::string ErrorDialogText(const std::string& message);
// The message of a failure: the text a platform::Exception carries, else
// what() says.
std::string FailureMessage(const std::exception& failure);

// The default error dialog: the failure's message (see ErrorDialogText),
// the application's title as caption, the error icon.
void ShowException(const std::exception& failure);

// Binds ShowException to platform::Application().OnException.
void InstallDefaultErrorDialog();

}  // namespace desktop
