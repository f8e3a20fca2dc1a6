#include "platform/thread.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <process.h>

struct WorkerThread {
    HANDLE handle;
    void (*work)(void*);
    void* argument;
};

struct Monitor {
    CRITICAL_SECTION lock;
    CONDITION_VARIABLE condition;
};

static unsigned __stdcall run_worker(void* context) {
    WorkerThread* thread = static_cast<WorkerThread*>(context);
    thread->work(thread->argument);
    return 0;
}

// The C runtime's own thread start, so that its per-thread data (the stdio
// the worker uses) is set up and released with the thread. Console control
// events get threads of their own on Windows, so there is no signal to keep
// away from this one.
WorkerThread* start_worker_thread(void (*work)(void* argument), void* argument) {
    WorkerThread* thread = static_cast<WorkerThread*>(std::malloc(sizeof(WorkerThread)));
    if (thread == nullptr) {
        return nullptr;
    }
    thread->work = work;
    thread->argument = argument;
    const std::uintptr_t handle = _beginthreadex(nullptr, 0, run_worker, thread, 0, nullptr);
    if (handle == 0) {
        std::free(thread);
        return nullptr;
    }
    thread->handle = reinterpret_cast<HANDLE>(handle);
    return thread;
}

void join_worker_thread(WorkerThread* thread) {
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    std::free(thread);
}

Monitor* create_monitor() {
    Monitor* monitor = static_cast<Monitor*>(std::malloc(sizeof(Monitor)));
    if (monitor == nullptr) {
        return nullptr;
    }
    InitializeCriticalSection(&monitor->lock);
    InitializeConditionVariable(&monitor->condition);
    return monitor;
}

void destroy_monitor(Monitor* monitor) {
    DeleteCriticalSection(&monitor->lock);
    std::free(monitor);
}

void enter_monitor(Monitor* monitor) {
    EnterCriticalSection(&monitor->lock);
}

void leave_monitor(Monitor* monitor) {
    LeaveCriticalSection(&monitor->lock);
}

void wait_in_monitor(Monitor* monitor) {
    SleepConditionVariableCS(&monitor->condition, &monitor->lock, INFINITE);
}

void wake_monitor_waiters(Monitor* monitor) {
    WakeAllConditionVariable(&monitor->condition);
}
