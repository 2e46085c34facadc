// User interface services of the Linux build: thread message queues and
// timers. Keyboard input, window stations and desktops are in winuser_input.h.
#pragma once

#include "platform/linux/windef.h"

#define WM_NULL 0x0000u
#define WM_QUIT 0x0012u
#define WM_TIMER 0x0113u
#define WM_HOTKEY 0x0312u
#define WM_USER 0x0400u

#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *PMSG, *LPMSG;

typedef void(CALLBACK* TIMERPROC)(HWND, UINT, UINT_PTR, DWORD);

// A thread gets its queue with its first call of GetMessageA, PeekMessageA
// or SetTimer; posting to a thread without a queue fails with
// ERROR_INVALID_THREAD_ID. Timers without a window belong to the calling
// thread; WM_TIMER is made when the queue is read and never piles up.
BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage);
BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
UINT_PTR WINAPI SetTimer(HWND window, UINT_PTR eventId, UINT elapse, TIMERPROC timerFunc);
BOOL WINAPI KillTimer(HWND window, UINT_PTR eventId);
