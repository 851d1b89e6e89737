// Every event handler of the desktop layer runs through Invoke: a failure
// that escapes a handler (a click, a menu choice, a timer tick) goes to the
// application's report of unhandled failures, which the desktop program
// binds to its default error dialog, and the program carries on with the
// next event.
#pragma once

#include "platform/Component.h"

#include <functional>

namespace desktop {

void Invoke(const std::function<void()>& handler);

// Calls the event with the sender through Invoke; an empty event is skipped.
void Fire(const platform::TNotifyEvent& event, platform::TObject* sender);

// Hands a failure to the application's report, as Invoke does.
void ReportFailure(const std::exception& failure);

}  // namespace desktop
