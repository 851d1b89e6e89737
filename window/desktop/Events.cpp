#include "window/desktop/Events.h"

#include "platform/Exceptions.h"

namespace desktop {

void ReportFailure(const std::exception& failure) {
  platform::Application().HandleException(failure);
}

void Invoke(const std::function<void()>& handler) {
  if (!handler) return;
  try {
    handler();
  } catch (const std::exception& e) {
    ReportFailure(e);
  } catch (...) {
    ReportFailure(platform::Exception("Unbekannter Fehler"));
  }
}

void Fire(const platform::TNotifyEvent& event, platform::TObject* sender) {
  if (!event) return;
  Invoke([&] { event(sender); });
}

}  // namespace desktop
