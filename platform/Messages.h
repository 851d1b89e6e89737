// Window messages, hidden windows and window timers of the thread's message
// queue, as the components of the POP3 client expect them: a window is a
// handle with a window procedure and one stored pointer; notices and timer
// ticks arrive as messages and are handled only while the queue is pumped.
//
// Everything here belongs to the one thread that runs the components.
// PostMessageA and PostQuitMessage may also be called from other threads.
#pragma once

#include <cstdint>

namespace platform {

using HWND = uintptr_t;  // 0 = no window
using HINSTANCE = uintptr_t;
using UINT = uint32_t;
using DWORD = uint32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using LONG_PTR = intptr_t;
using UINT_PTR = uintptr_t;
using ATOM = uint16_t;

using WNDPROC = LRESULT (*)(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

inline constexpr UINT WM_NULL = 0x0000;
inline constexpr UINT WM_QUIT = 0x0012;
inline constexpr UINT WM_TIMER = 0x0113;
inline constexpr UINT WM_USER = 0x0400;

inline constexpr DWORD WS_POPUP = 0x80000000u;
inline constexpr DWORD WS_EX_TOOLWINDOW = 0x00000080u;
inline constexpr int GWL_USERDATA_SLOT = 0;  // index of the one stored pointer

struct WNDCLASSA {
  UINT style = 0;
  WNDPROC lpfnWndProc = nullptr;
  int cbClsExtra = 0;
  int cbWndExtra = 0;
  HINSTANCE hInstance = 0;
  uintptr_t hIcon = 0;
  uintptr_t hCursor = 0;
  uintptr_t hbrBackground = 0;
  const char* lpszMenuName = nullptr;
  const char* lpszClassName = nullptr;
};

struct MSG {
  HWND hwnd = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

// The module's instance handle (one module per process here).
HINSTANCE HInstance();

// Window classes live until the process ends. GetClassInfoA fills *info and
// returns true when the class is known for the instance.
bool GetClassInfoA(HINSTANCE instance, const char* className, WNDCLASSA* info);
ATOM RegisterClassA(const WNDCLASSA* wc);  // 0 on failure

// Hidden windows only: position, size, parent and menu are accepted and
// ignored. Returns 0 when the class is unknown.
HWND CreateWindowExA(DWORD exStyle, const char* className, const char* windowName, DWORD style, int x,
                     int y, int width, int height, HWND parent, uintptr_t menu, HINSTANCE instance,
                     void* param);
// Messages still queued for the window are dropped, its timers killed.
bool DestroyWindow(HWND hwnd);
bool IsWindow(HWND hwnd);
LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value);  // returns the old value
LONG_PTR GetWindowLongPtrA(HWND hwnd, int index);
LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Window timers: a WM_TIMER for (hwnd, id) is produced when the pump finds
// the queue otherwise empty and the timer due (never before its period has
// passed, measured on a monotonic clock). Setting an existing id restarts
// it; id 0 asks for a fresh id, which is returned and is the one to kill.
// An elapse of 0 is taken as 1 ms. Returns the id, 0 when refused (no such
// window).
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, void* timerProc);
bool KillTimer(HWND hwnd, UINT_PTR id);

// Thread-safe; wakes a wait in progress. Returns false for no window.
bool PostMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);

// Takes the next waiting message (posted messages first, then a due timer)
// without waiting; false when there is none.
bool PeekMessageA(MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);

// The pump: socket notices are collected, then every waiting message is
// dispatched to its window until the queue is empty, and foreign events of
// the event source are dispatched; then it returns without waiting. A quit
// request taken from the queue is noted in Application().Terminated and not
// dispatched. Each timer fires at most once per call.
void ProcessMessages();

// Messages waiting in the queue (posted ones; due timers not counted).
int QueuedMessageCount();

}  // namespace platform
