#include "platform/interrupt.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t interrupted = 0;
// SIGPIPE too: the write to a closed pipe then fails instead of ending the
// process with the unfinished file left behind.
constexpr int WATCHED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};
constexpr int WATCHED_COUNT = sizeof WATCHED_SIGNALS / sizeof WATCHED_SIGNALS[0];
struct sigaction previous_actions[WATCHED_COUNT];

void note_interrupt(int) {
    interrupted = 1;
}

} // namespace

void start_interrupt_watch() {
    interrupted = 0;
    struct sigaction action {};
    action.sa_handler = note_interrupt;
    sigemptyset(&action.sa_mask);
    // Reads and writes in progress finish; the flag is looked at between them.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < WATCHED_COUNT; ++i) {
        sigaction(WATCHED_SIGNALS[i], &action, &previous_actions[i]);
    }
}

void request_interrupt() {
    interrupted = 1;
}

bool interrupt_requested() {
    return interrupted != 0;
}

void stop_interrupt_watch() {
    for (int i = 0; i < WATCHED_COUNT; ++i) {
        sigaction(WATCHED_SIGNALS[i], &previous_actions[i], nullptr);
    }
    // A closed output stays harmless after the watch: the closing lines are
    // lost, and the process still ends the way it always does.
    std::signal(SIGPIPE, SIG_IGN);
}
