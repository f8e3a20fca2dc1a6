#include "platform/thread.h"

#include <pthread.h>
#include <signal.h>

#include <cstdlib>

struct WorkerThread {
    pthread_t thread;
    void (*work)(void*);
    void* argument;
};

struct Monitor {
    pthread_mutex_t mutex;
    pthread_cond_t condition;
};

static void* run_worker(void* context) {
    WorkerThread* thread = static_cast<WorkerThread*>(context);
    thread->work(thread->argument);
    return nullptr;
}

WorkerThread* start_worker_thread(void (*work)(void* argument), void* argument) {
    WorkerThread* thread = static_cast<WorkerThread*>(std::malloc(sizeof(WorkerThread)));
    if (thread == nullptr) {
        return nullptr;
    }
    thread->work = work;
    thread->argument = argument;
    // The new thread inherits the mask: with every signal blocked there, the
    // process's handlers run on the threads that started it.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const int started = pthread_create(&thread->thread, nullptr, run_worker, thread);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (started != 0) {
        std::free(thread);
        return nullptr;
    }
    return thread;
}

void join_worker_thread(WorkerThread* thread) {
    pthread_join(thread->thread, nullptr);
    std::free(thread);
}

Monitor* create_monitor() {
    Monitor* monitor = static_cast<Monitor*>(std::malloc(sizeof(Monitor)));
    if (monitor == nullptr) {
        return nullptr;
    }
    if (pthread_mutex_init(&monitor->mutex, nullptr) != 0) {
        std::free(monitor);
        return nullptr;
    }
    if (pthread_cond_init(&monitor->condition, nullptr) != 0) {
        pthread_mutex_destroy(&monitor->mutex);
        std::free(monitor);
        return nullptr;
    }
    return monitor;
}

void destroy_monitor(Monitor* monitor) {
    pthread_cond_destroy(&monitor->condition);
    pthread_mutex_destroy(&monitor->mutex);
    std::free(monitor);
}

void enter_monitor(Monitor* monitor) {
    pthread_mutex_lock(&monitor->mutex);
}

void leave_monitor(Monitor* monitor) {
    pthread_mutex_unlock(&monitor->mutex);
}

void wait_in_monitor(Monitor* monitor) {
    pthread_cond_wait(&monitor->condition, &monitor->mutex);
}

void wake_monitor_waiters(Monitor* monitor) {
    pthread_cond_broadcast(&monitor->condition);
}
