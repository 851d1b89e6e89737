#include "platform/Exceptions.h"

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

}  // namespace platform
