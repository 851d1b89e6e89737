#include "platform/Exceptions.h"

#include <new>

namespace platform {

EConvertError ConvertError(const std::string& text) {
  return EConvertError("'" + text + "' ist kein g\xC3\xBCltiger Integerwert");
}

EFOpenError FileOpenError(const std::string& path) {
  return EFOpenError("Datei " + path + " kann nicht ge\xC3\xB6" "ffnet werden");
}

EFCreateError FileCreateError(const std::string& path) {
  return EFCreateError("Datei " + path + " kann nicht erstellt werden");
}

ERangeError RangeError() { return ERangeError("Fehler bei Bereichspr\xC3\xBC" "fung"); }

EOutOfMemory OutOfMemory() { return EOutOfMemory("Zu wenig Arbeitsspeicher"); }

const char* FailureClassName(const std::exception& failure) {
  if (const auto* e = dynamic_cast<const Exception*>(&failure)) return e->ClassName();
  if (dynamic_cast<const std::bad_alloc*>(&failure) != nullptr) return "EOutOfMemory";
  return "Exception";
}

std::string FailureMessage(const std::exception& failure) {
  if (const auto* e = dynamic_cast<const Exception*>(&failure)) return e->Message();
  if (dynamic_cast<const std::bad_alloc*>(&failure) != nullptr) return OutOfMemory().Message();
  return failure.what();
}

}  // namespace platform
