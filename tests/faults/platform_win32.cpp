#include "tests/faults/fault_platform.h"

#include <windows.h>

// Wine gives a test no console to send Ctrl+C to (a kill is TerminateProcess,
// which needs none), and Windows has no file
// size limit, no closed standard input for a child, no user to drop to and
// no small file system to mount. Wine itself crashes when a current folder's
// Unix path passes 4,096 bytes. The test's narrow file names are in the ANSI
// code page (here Windows-1252).
const FaultAbilities FAULT_ABILITIES = {false, true, false, false, false, false, false};
const char* const NON_ASCII_NAME = "Veltrane a\xF1o \xE9.iso";
const char* const NON_ASCII_NAME_SHOWN = "Veltrane a\xA4o \x82.iso";
const int CHILD_SIGINT = 0;
const int CHILD_SIGTERM = 0;
const int CHILD_SIGQUIT = 0;
const int CHILD_SIGKILL = 9;

namespace {

// Build paths reach the test in Unix form; under Wine the Unix root is Z:.
std::string windows_path(const std::string& path) {
    std::string converted;
    if (!path.empty() && path[0] == '/') {
        converted.append("Z:");
    }
    for (char c : path) {
        converted.push_back(c == '/' ? '\\' : c);
    }
    return converted;
}

void act_on_trigger(const ChildRun& run, HANDLE process, ChildResult* result) {
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
    if (run.trigger_signal == CHILD_SIGKILL) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, INFINITE);
        result->killed = true;
    } else if (run.on_trigger != nullptr) {
        run.on_trigger(run.context);
    }
}

// Exception statuses (access violation and the like) start with 0xC.
bool is_crash_status(DWORD code) {
    return (code & 0xF0000000u) == 0xC0000000u;
}

} // namespace

bool running_as_superuser() {
    return false;
}

bool mount_small_filesystem(const std::filesystem::path&, std::uint64_t) {
    return false;
}

void unmount_filesystem(const std::filesystem::path&) {}

ChildResult run_child(const ChildRun& run) {
    ChildResult result = {false, false, false, -1, false, {}};
    SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE in_read, in_write, out_read, out_write;
    if (!CreatePipe(&in_read, &in_write, &inherit, 0)) {
        return result;
    }
    if (!CreatePipe(&out_read, &out_write, &inherit, 0)) {
        CloseHandle(in_read);
        CloseHandle(in_write);
        return result;
    }
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out_write;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process = {};
    std::string command(1, '"');
    command.append(windows_path(run.program));
    command.push_back('"');
    // The tests' arguments hold no quotes.
    for (const std::string& argument : run.arguments) {
        command.append(" \"").append(argument).append("\"");
    }
    const std::string directory = windows_path(run.folder.string());
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        directory.c_str(), &startup, &process);
    CloseHandle(in_read);
    CloseHandle(out_write);
    if (!started) {
        CloseHandle(in_write);
        CloseHandle(out_read);
        return result;
    }
    result.started = true;
    DWORD written = 0;
    if (!run.input.empty()) {
        WriteFile(in_write, run.input.data(), static_cast<DWORD>(run.input.size()), &written,
                  nullptr);
    }
    if (!run.keep_input_open) {
        CloseHandle(in_write);
        in_write = nullptr;
    }

    // Polled rather than blocking, so that a program that hangs with its
    // output open is still stopped at the deadline.
    const ULONGLONG deadline = GetTickCount64() + 1000ull * run.timeout_seconds;
    char buffer[65536];
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(out_read, nullptr, 0, nullptr, &available, nullptr)) {
            break; // the program closed its output
        }
        if (available > 0) {
            DWORD n = 0;
            const DWORD want = available < sizeof buffer ? available : sizeof buffer;
            if (!ReadFile(out_read, buffer, want, &n, nullptr) || n == 0) {
                break;
            }
            result.output.append(buffer, n);
            if (run.output_limit != 0 && result.output.size() >= run.output_limit) {
                result.output.resize(run.output_limit);
                break;
            }
            act_on_trigger(run, process.hProcess, &result);
            continue;
        }
        act_on_trigger(run, process.hProcess, &result);
        if (GetTickCount64() >= deadline) {
            result.timed_out = true;
            break;
        }
        Sleep(run.moment != nullptr && !result.triggered ? 1 : 5);
    }
    CloseHandle(out_read);
    if (in_write != nullptr) {
        CloseHandle(in_write);
    }

    const ULONGLONG now = GetTickCount64();
    const DWORD wait = result.timed_out || now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
    if (WaitForSingleObject(process.hProcess, wait) != WAIT_OBJECT_0) {
        result.timed_out = true;
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    } else if (!result.killed) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        if (is_crash_status(code)) {
            result.killed = true;
        } else {
            result.exit_code = static_cast<int>(code);
        }
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return result;
}
