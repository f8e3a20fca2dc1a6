#include "platform/interrupt.h"

#include <windows.h>

namespace {

volatile LONG interrupted = 0;
HANDLE watch_stopped = nullptr;

// Runs on a thread of its own. Windows ends the process as soon as a close,
// logoff or shutdown handler returns, so that handler waits until the work
// has cleaned up (Windows allows about five seconds).
BOOL WINAPI note_interrupt(DWORD event) {
    InterlockedExchange(&interrupted, 1);
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        WaitForSingleObject(watch_stopped, 4500);
    }
    return TRUE;
}

} // namespace

void start_interrupt_watch() {
    InterlockedExchange(&interrupted, 0);
    if (watch_stopped == nullptr) {
        watch_stopped = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ResetEvent(watch_stopped);
    SetConsoleCtrlHandler(note_interrupt, TRUE);
}

void request_interrupt() {
    InterlockedExchange(&interrupted, 1);
}

bool interrupt_requested() {
    return InterlockedCompareExchange(&interrupted, 0, 0) != 0;
}

void stop_interrupt_watch() {
    SetConsoleCtrlHandler(note_interrupt, FALSE);
    SetEvent(watch_stopped);
}
