#pragma once

// A second thread of work, and the lock and wake-up it shares with the thread
// that started it. Every call that can fail says so; nothing throws.

struct WorkerThread;
struct Monitor;

// Runs work(argument) on a thread of its own; null when the system refuses.
// Asynchronous signals stay with the threads that already run, so that an
// interrupt never cuts into the worker's system calls.
WorkerThread* start_worker_thread(void (*work)(void* argument), void* argument);

// Waits for the thread's work to return, then releases the thread.
void join_worker_thread(WorkerThread* thread);

// A lock with a condition to wait for under it; null when out of resources.
Monitor* create_monitor();
void destroy_monitor(Monitor* monitor);
void enter_monitor(Monitor* monitor);
void leave_monitor(Monitor* monitor);

// Leaves the monitor, sleeps until woken, enters it again. A wait may also
// end without a wake-up: callers test their condition again.
void wait_in_monitor(Monitor* monitor);

// Wakes every thread waiting in the monitor.
void wake_monitor_waiters(Monitor* monitor);
