// Inside the platform layer only: how the socket layer and the message
// queue meet. Not for code above the layer.
#pragma once

#include <functional>
#include <vector>

#include "platform/EventSource.h"
#include "platform/Messages.h"

namespace platform::detail {

// Runs on the queue's thread when the message is taken from the queue; it
// may fill in the message, or return false to drop it.
using TakeHook = std::function<bool(MSG& msg)>;

// Thread-safe. Returns false when the window does not exist.
bool PostMessageWithHook(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, TakeHook hook);

// Drops every queued message for which the predicate holds.
void RemoveQueuedMessages(const std::function<bool(const MSG&)>& predicate);

// Supplied by the socket layer: the sockets to watch for notices, and the
// turning of their readiness into posted notices.
void CollectSocketWatches(std::vector<WaitSocket>& out);
// Posts the read notices of bytes that wait in the layer's buffers, which
// no poll of the kernel reports.
void PostBufferedReadNotices();
void DeliverSocketReadiness(const std::vector<WaitSocket>& ready);
// Supplied by the socket layer: forgets the host lookups whose answer was
// to go to the window, which is being destroyed. On the queue's thread,
// without the queue's lock.
void ForgetLookupsOf(HWND hwnd);

}  // namespace platform::detail
