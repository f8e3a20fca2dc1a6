#pragma once

// Ctrl+C, Ctrl+Break, a closed console window, SIGINT, SIGTERM, SIGHUP,
// SIGQUIT, and SIGPIPE (the reader of the program's output is gone). While
// watched, they only raise a flag that long work checks at safe points, so it
// can remove what it half wrote and end like any failure.

void start_interrupt_watch();

// Counts as an interrupt: for a failure that nobody would see, such as a
// console that takes no more text.
void request_interrupt();

// true once an interrupt arrived since start_interrupt_watch.
bool interrupt_requested();

// Back to the platform's own handling. A console window that is being closed
// waits for this call (a few seconds at most) before the process ends.
void stop_interrupt_watch();
