#include "platform/interrupt.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t interrupted = 0;
constexpr int WATCHED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous_actions[3];

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
    for (int i = 0; i < 3; ++i) {
        sigaction(WATCHED_SIGNALS[i], &action, &previous_actions[i]);
    }
}

bool interrupt_requested() {
    return interrupted != 0;
}

void stop_interrupt_watch() {
    for (int i = 0; i < 3; ++i) {
        sigaction(WATCHED_SIGNALS[i], &previous_actions[i], nullptr);
    }
}
