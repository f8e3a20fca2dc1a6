#include "tests/faults/fault_platform.h"

#include <chrono>
#include <csignal>
#include <grp.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

const FaultAbilities FAULT_ABILITIES = {true, true, true, true, true, true, true};
const char* const NON_ASCII_NAME = "Veltrane a\xC3\xB1o \xFF.iso";
const char* const NON_ASCII_NAME_SHOWN = NON_ASCII_NAME;
const int CHILD_SIGINT = SIGINT;
const int CHILD_SIGTERM = SIGTERM;
const int CHILD_SIGKILL = SIGKILL;
const int CHILD_SIGQUIT = SIGQUIT;

namespace {

// The user and group "nobody" on Debian.
constexpr uid_t ORDINARY_USER = 65534;
constexpr gid_t ORDINARY_GROUP = 65534;

using Clock = std::chrono::steady_clock;

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void start_program(const ChildRun& run, char* const* argv, const int to_child[2],
                                const int from_child[2]) {
    if (run.no_input) {
        close(0);
    } else {
        dup2(to_child[0], 0);
    }
    dup2(from_child[1], 1);
    for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]}) {
        if (fd > 1) {
            close(fd);
        }
    }
    if (chdir(run.folder.c_str()) != 0) {
        _exit(126);
    }
    if (run.file_size_limit != 0) {
        const rlimit limit = {run.file_size_limit, run.file_size_limit};
        // Without the signal ignored, the first write past the limit would
        // kill the program instead of failing.
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0 || std::signal(SIGXFSZ, SIG_IGN) == SIG_ERR) {
            _exit(125);
        }
    }
    if (run.unprivileged && geteuid() == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(ORDINARY_GROUP) != 0 ||
            setuid(ORDINARY_USER) != 0) {
            _exit(125);
        }
    }
    std::signal(SIGPIPE, SIG_DFL);
    execv(argv[0], argv);
    _exit(127);
}

int milliseconds_left(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Between checks for a moment the output is waited for this long at most.
constexpr int MOMENT_POLL_MILLISECONDS = 1;

void act_on_trigger(const ChildRun& run, pid_t child, ChildResult* result) {
    if (result->triggered) {
        return;
    }
    const bool now =
        run.moment != nullptr
            ? run.moment(result->output, run.context)
            : !run.trigger.empty() && result->output.find(run.trigger) != std::string::npos;
    if (!now) {
        return;
    }
    result->triggered = true;
    if (run.trigger_signal != 0) {
        kill(child, run.trigger_signal);
    } else if (run.on_trigger != nullptr) {
        run.on_trigger(run.context);
    }
}

} // namespace

bool running_as_superuser() {
    return geteuid() == 0;
}

bool mount_small_filesystem(const std::filesystem::path& folder, std::uint64_t bytes) {
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
    return mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

void unmount_filesystem(const std::filesystem::path& folder) {
    umount2(folder.c_str(), MNT_DETACH);
}

ChildResult run_child(const ChildRun& run) {
    ChildResult result = {false, false, false, -1, false, {}};
    int to_child[2] = {-1, -1};
    int from_child[2] = {-1, -1};
    if (pipe(from_child) != 0) {
        return result;
    }
    if (!run.no_input && pipe(to_child) != 0) {
        close(from_child[0]);
        close(from_child[1]);
        return result;
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(run.program.c_str()));
    for (const std::string& argument : run.arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const pid_t child = fork();
    if (child == 0) {
        start_program(run, argv.data(), to_child, from_child);
    }
    close(from_child[1]);
    if (to_child[0] >= 0) {
        close(to_child[0]);
    }
    if (child < 0) {
        close(from_child[0]);
        if (to_child[1] >= 0) {
            close(to_child[1]);
        }
        return result;
    }
    result.started = true;
    if (to_child[1] >= 0) {
        // The program reads only at its very end; a few bytes fit the pipe.
        if (!run.input.empty() && write(to_child[1], run.input.data(), run.input.size()) < 0) {
            result.started = false;
        }
        if (!run.keep_input_open) {
            close(to_child[1]);
            to_child[1] = -1;
        }
    }

    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(run.timeout_seconds);
    pollfd output = {from_child[0], POLLIN, 0};
    char buffer[65536];
    for (;;) {
        int wait = milliseconds_left(deadline);
        if (run.moment != nullptr && !result.triggered && wait > MOMENT_POLL_MILLISECONDS) {
            wait = MOMENT_POLL_MILLISECONDS;
        }
        const int ready = poll(&output, 1, wait);
        if (ready == 0 && milliseconds_left(deadline) == 0) {
            result.timed_out = true;
            break;
        }
        if (ready == 0) {
            act_on_trigger(run, child, &result);
            continue;
        }
        if (ready < 0) {
            continue; // interrupted
        }
        const ssize_t n = read(from_child[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        result.output.append(buffer, static_cast<std::size_t>(n));
        if (run.output_limit != 0 && result.output.size() >= run.output_limit) {
            result.output.resize(run.output_limit);
            break;
        }
        act_on_trigger(run, child, &result);
    }
    close(from_child[0]);
    if (to_child[1] >= 0) {
        close(to_child[1]);
    }

    // Output closed is not the end of the process: give it until the
    // deadline to exit.
    int status = 0;
    while (!result.timed_out && waitpid(child, &status, WNOHANG) == 0) {
        if (milliseconds_left(deadline) == 0) {
            result.timed_out = true;
            break;
        }
        usleep(10000);
    }
    if (result.timed_out) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return result;
    }
    if (WIFSIGNALED(status)) {
        result.killed = true;
    } else {
        result.exit_code = WEXITSTATUS(status);
    }
    return result;
}
