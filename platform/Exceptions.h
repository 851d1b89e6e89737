// Every failure is an exception that carries its message text, which is
// what users read; the class name is readable at run time, because the
// console's report of an escaping failure names it.
#pragma once

#include <exception>
#include <string>

namespace platform {

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }
  virtual const char* ClassName() const noexcept { return "Exception"; }

 private:
  std::string message_;
};

#define KELVO_EXCEPTION_CLASS(Name, Base)                                  \
  class Name : public Base {                                               \
   public:                                                                 \
    using Base::Base;                                                      \
    const char* ClassName() const noexcept override { return #Name; }      \
  }

KELVO_EXCEPTION_CLASS(EConvertError, Exception);
KELVO_EXCEPTION_CLASS(EInOutError, Exception);
KELVO_EXCEPTION_CLASS(EStreamError, Exception);
KELVO_EXCEPTION_CLASS(EFOpenError, EStreamError);
KELVO_EXCEPTION_CLASS(EFCreateError, EStreamError);
KELVO_EXCEPTION_CLASS(ERangeError, Exception);
KELVO_EXCEPTION_CLASS(EClipboardException, Exception);
KELVO_EXCEPTION_CLASS(EHeapException, Exception);
KELVO_EXCEPTION_CLASS(EOutOfMemory, EHeapException);

// The run-time's failures reach users in German, with these exact texts.
EConvertError ConvertError(const std::string& text);  // "'%s' ist kein gültiger Integerwert"
EFOpenError FileOpenError(const std::string& path);   // "Datei %s kann nicht geöffnet werden"
EFCreateError FileCreateError(const std::string& path);  // "Datei %s kann nicht erstellt werden"
ERangeError RangeError();                              // "Fehler bei Bereichsprüfung"
EOutOfMemory OutOfMemory();                            // "Zu wenig Arbeitsspeicher"

// How the run-time names a failure that reaches its report or dialog: its
// own failures by their class and message, running out of memory as
// OutOfMemory(), anything else as Exception with what() as the message.
const char* FailureClassName(const std::exception& failure);
std::string FailureMessage(const std::exception& failure);

}  // namespace platform
