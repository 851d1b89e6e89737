#include "platform/Messages.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "platform/Component.h"
#include "platform/EventSource.h"
#include "platform/QueueInternals.h"

namespace platform {

namespace {

struct Window {
  std::string className;
  WNDPROC proc = nullptr;
  LONG_PTR stored = 0;
};

struct Queued {
  MSG msg;
  detail::TakeHook hook;
};

struct Timer {
  Clock::duration period;
  Clock::time_point due;
  uint64_t firedInPump = 0;  // the pump pass that last fired it
  // A killed timer keeps its entry until its window goes, so that arming
  // it again (every waiting step does) allocates nothing.
  bool active = true;
};

// Ids handed out for SetTimer(..., 0, ...) start far above the small ids
// that callers pick themselves.
constexpr UINT_PTR kFirstFreshTimerId = 0x10000;

// One lock for everything another thread may touch: the queue and the
// window table (PostMessageA checks that the window exists). The timers
// belong to the queue's thread alone, and so does every change of the
// window table: that thread reads both without the lock. The state is never
// freed, so that a helper thread finishing during process exit still finds
// it.
struct QueueState {
  std::mutex lock;
  std::map<std::string, WNDCLASSA> classes;
  std::map<std::string, std::string> classNames;  // keeps lpszClassName alive
  std::map<HWND, Window> windows;
  std::deque<Queued> queue;
  std::map<std::pair<HWND, UINT_PTR>, Timer> timers;
  HWND nextWindow = 1;
  bool quitPosted = false;
  uint64_t pumpPass = 0;
  UINT_PTR nextFreshTimerId = kFirstFreshTimerId;
};

QueueState& State() {
  static QueueState* state = new QueueState();
  return *state;
}

constexpr UINT kMinTimerMs = 1;

// The due time of the earliest window timer; the caller holds the lock.
std::optional<Clock::time_point> EarliestTimerDue() {
  std::optional<Clock::time_point> due;
  for (auto& [key, t] : State().timers) {
    if (t.active && (!due || t.due < *due)) due = t.due;
  }
  return due;
}

// Takes the next message: posted ones first, then the quit request, then a
// due timer that has not yet fired in this pump pass.
bool TakeMessage(MSG* out, uint64_t pass) {
  for (;;) {
    Queued q;
    {
      std::lock_guard<std::mutex> guard(State().lock);
      if (!State().queue.empty()) {
        q = std::move(State().queue.front());
        State().queue.pop_front();
      } else if (State().quitPosted) {
        State().quitPosted = false;
        *out = MSG{0, WM_QUIT, 0, 0};
        return true;
      } else {
        auto now = Clock::now();
        auto best = State().timers.end();
        for (auto it = State().timers.begin(); it != State().timers.end(); ++it) {
          if (!it->second.active || it->second.due > now) continue;
          if (pass != 0 && it->second.firedInPump == pass) continue;
          if (best == State().timers.end() || it->second.due < best->second.due) best = it;
        }
        if (best == State().timers.end()) return false;
        best->second.due = now + best->second.period;
        best->second.firedInPump = pass;
        *out = MSG{best->first.first, WM_TIMER, best->first.second, 0};
        return true;
      }
    }
    // The hook runs without the lock: it may take it itself.
    if (q.hook && !q.hook(q.msg)) continue;
    *out = q.msg;
    return true;
  }
}

}  // namespace

HINSTANCE HInstance() { return 0x400000; }

bool GetClassInfoA(HINSTANCE instance, const char* className, WNDCLASSA* info) {
  if (!className) return false;
  std::lock_guard<std::mutex> guard(State().lock);
  auto it = State().classes.find(className);
  if (it == State().classes.end() || it->second.hInstance != instance) return false;
  if (info) *info = it->second;
  return true;
}

ATOM RegisterClassA(const WNDCLASSA* wc) {
  if (!wc || !wc->lpszClassName || !wc->lpfnWndProc) return 0;
  std::lock_guard<std::mutex> guard(State().lock);
  std::string name = wc->lpszClassName;
  if (State().classes.count(name)) return 0;  // already registered
  auto& kept = State().classNames[name];
  kept = name;
  WNDCLASSA copy = *wc;
  copy.lpszClassName = kept.c_str();
  State().classes[name] = copy;
  return static_cast<ATOM>(State().classes.size());
}

HWND CreateWindowExA(DWORD, const char* className, const char*, DWORD, int, int, int, int, HWND,
                     uintptr_t, HINSTANCE, void*) {
  if (!className) return 0;
  std::lock_guard<std::mutex> guard(State().lock);
  auto it = State().classes.find(className);
  if (it == State().classes.end()) return 0;
  HWND h = State().nextWindow++;
  State().windows[h] = Window{className, it->second.lpfnWndProc, 0};
  return h;
}

bool DestroyWindow(HWND hwnd) {
  {
    std::lock_guard<std::mutex> guard(State().lock);
    if (!State().windows.erase(hwnd)) return false;
    for (auto it = State().queue.begin(); it != State().queue.end();) {
      it = it->msg.hwnd == hwnd ? State().queue.erase(it) : it + 1;
    }
    for (auto it = State().timers.begin(); it != State().timers.end();) {
      it = it->first.first == hwnd ? State().timers.erase(it) : std::next(it);
    }
  }
  // No answer can reach the window any more, so nothing would ever take
  // its lookups out of the socket layer's table.
  detail::ForgetLookupsOf(hwnd);
  return true;
}

bool IsWindow(HWND hwnd) {
  std::lock_guard<std::mutex> guard(State().lock);
  return State().windows.count(hwnd) != 0;
}

LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
  if (index != GWL_USERDATA_SLOT) return 0;
  std::lock_guard<std::mutex> guard(State().lock);
  auto it = State().windows.find(hwnd);
  if (it == State().windows.end()) return 0;
  LONG_PTR old = it->second.stored;
  it->second.stored = value;
  return old;
}

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index) {
  if (index != GWL_USERDATA_SLOT) return 0;
  // On the queue's thread, which alone changes the window table: no lock.
  // Every notice's dispatch asks for its window's pointer.
  auto it = State().windows.find(hwnd);
  return it == State().windows.end() ? 0 : it->second.stored;
}

LRESULT DefWindowProcA(HWND, UINT, WPARAM, LPARAM) { return 0; }

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, void*) {
  // On the queue's thread, which alone changes windows and timers: no lock.
  if (!State().windows.count(hwnd)) return 0;
  if (elapseMs < kMinTimerMs) elapseMs = kMinTimerMs;
  // Id 0 asks for a fresh one: the timer is kept under the id handed out,
  // so that KillTimer with it stops this timer.
  if (id == 0) {
    do {
      id = State().nextFreshTimerId++;
      if (State().nextFreshTimerId == 0) State().nextFreshTimerId = kFirstFreshTimerId;
    } while (State().timers.count({hwnd, id}));
  }
  const Clock::duration period = std::chrono::milliseconds(elapseMs);
  const Timer armed{period, Clock::now() + period, 0, true};
  auto [it, added] = State().timers.try_emplace({hwnd, id}, armed);
  if (!added) it->second = armed;
  return id;
}

bool KillTimer(HWND hwnd, UINT_PTR id) {
  auto it = State().timers.find({hwnd, id});
  if (it == State().timers.end() || !it->second.active) return false;
  // A tick already taken out of the queue cannot come back; none is queued,
  // ticks are made when they are taken.
  it->second.active = false;
  return true;
}

bool detail::PostMessageWithHook(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, TakeHook hook) {
  {
    std::lock_guard<std::mutex> guard(State().lock);
    if (!State().windows.count(hwnd)) return false;
    State().queue.push_back(Queued{MSG{hwnd, msg, wParam, lParam}, std::move(hook)});
  }
  WakeEventSource();
  return true;
}

void detail::RemoveQueuedMessages(const std::function<bool(const MSG&)>& predicate) {
  std::lock_guard<std::mutex> guard(State().lock);
  for (auto it = State().queue.begin(); it != State().queue.end();) {
    it = predicate(it->msg) ? State().queue.erase(it) : it + 1;
  }
}

bool PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return detail::PostMessageWithHook(hwnd, msg, wParam, lParam, nullptr);
}

void PostQuitMessage(int) {
  {
    std::lock_guard<std::mutex> guard(State().lock);
    State().quitPosted = true;
  }
  WakeEventSource();
}

bool PeekMessageA(MSG* msg) { return TakeMessage(msg, 0); }

LRESULT DispatchMessageA(const MSG* msg) {
  // On the queue's thread, which alone changes the window table: no lock.
  auto it = State().windows.find(msg->hwnd);
  if (it == State().windows.end()) return 0;
  const WNDPROC proc = it->second.proc;
  return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

int QueuedMessageCount() {
  std::lock_guard<std::mutex> guard(State().lock);
  return static_cast<int>(State().queue.size());
}

void PendingWaitSet(std::vector<WaitSocket>& sockets, std::optional<Clock::time_point>& nextTimer) {
  detail::PostBufferedReadNotices();
  sockets.clear();
  detail::CollectSocketWatches(sockets);
  std::lock_guard<std::mutex> guard(State().lock);
  nextTimer = EarliestTimerDue();
}

namespace {

bool WorkWaiting(std::optional<Clock::time_point>& nextTimer) {
  std::lock_guard<std::mutex> guard(State().lock);
  if (!State().queue.empty() || State().quitPosted) return true;
  nextTimer = EarliestTimerDue();
  return nextTimer && *nextTimer <= Clock::now();
}

// Polls the watched sockets without waiting and posts their notices.
void CollectNotices() {
  detail::PostBufferedReadNotices();
  // Kept from pump to pump, so a pump allocates nothing: every wait of a
  // socket step pumps. Nothing in here pumps again, so one list a thread
  // is enough.
  thread_local std::vector<WaitSocket> sockets;
  sockets.clear();
  detail::CollectSocketWatches(sockets);
  if (sockets.empty()) return;
  CurrentEventSource().Wait(sockets, Clock::now());
  detail::DeliverSocketReadiness(sockets);
}

}  // namespace

void WaitForWork(const std::vector<WaitSocket>& extra, std::optional<Clock::duration> maxWait) {
  std::optional<Clock::time_point> deadline;
  if (maxWait) deadline = Clock::now() + *maxWait;

  detail::PostBufferedReadNotices();
  std::optional<Clock::time_point> nextTimer;
  if (WorkWaiting(nextTimer)) return;
  if (nextTimer && (!deadline || *nextTimer < *deadline)) deadline = nextTimer;

  // Kept from wait to wait, as in CollectNotices: nothing in here waits or
  // pumps again.
  thread_local std::vector<WaitSocket> sockets;
  sockets.clear();
  detail::CollectSocketWatches(sockets);
  const size_t own = sockets.size();
  // A socket that is watched for its notices and by the caller is listed
  // once, for both kinds of readiness.
  for (const WaitSocket& e : extra) {
    auto same = std::find_if(sockets.begin(), sockets.begin() + own, [&](const WaitSocket& w) { return w.fd == e.fd; });
    if (same != sockets.begin() + own) {
      same->events |= e.events;
    } else {
      sockets.push_back(e);
    }
  }
  CurrentEventSource().Wait(sockets, deadline);
  sockets.resize(own);
  detail::DeliverSocketReadiness(sockets);
}

void ProcessMessages() {
  // Everything posted so far is taken below; a post after this point wakes
  // the next wait again.
  CurrentEventSource().ResetWake();
  CollectNotices();
  uint64_t pass = ++State().pumpPass;
  MSG msg;
  while (TakeMessage(&msg, pass)) {
    if (msg.message == WM_QUIT) {
      Application().Terminated = true;
      continue;
    }
    DispatchMessageA(&msg);
  }
  CurrentEventSource().DispatchForeign();
}

}  // namespace platform
