#include "tests/support/process.h"

#include <windows.h>

// Test binaries receive build paths in Unix form; under Wine the Unix root is
// drive Z:.
static std::string windows_path(const std::string& path) {
    std::string converted;
    if (!path.empty() && path[0] == '/') {
        converted.append("Z:");
    }
    for (char c : path) {
        converted.push_back(c == '/' ? '\\' : c);
    }
    return converted;
}

ProcessResult run_process(const std::string& program, const std::filesystem::path& folder,
                          const std::string& input, const std::vector<std::string>& arguments,
                          bool with_errors) {
    ProcessResult result{false, -1, {}};
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE child_in_read, child_in_write, child_out_read, child_out_write;
    if (!CreatePipe(&child_in_read, &child_in_write, &inherit, 0)) {
        return result;
    }
    if (!CreatePipe(&child_out_read, &child_out_write, &inherit, 0)) {
        CloseHandle(child_in_read);
        CloseHandle(child_in_write);
        return result;
    }
    SetHandleInformation(child_in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(child_out_read, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = child_in_read;
    startup.hStdOutput = child_out_write;
    startup.hStdError = with_errors ? child_out_write : GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    std::string command = "\"";
    command.append(windows_path(program));
    command.push_back('"');
    for (const std::string& argument : arguments) {
        // The tests' arguments are plain paths: quotes suffice.
        command.append(" \"");
        command.append(windows_path(argument));
        command.push_back('"');
    }
    const std::string directory = windows_path(folder.string());
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        directory.c_str(), &startup, &process);
    CloseHandle(child_in_read);
    CloseHandle(child_out_write);
    if (started) {
        result.started = true;
        DWORD written = 0;
        if (!input.empty()) {
            WriteFile(child_in_write, input.data(), static_cast<DWORD>(input.size()), &written,
                      nullptr);
        }
    }
    CloseHandle(child_in_write);
    if (started) {
        char buffer[65536];
        DWORD n = 0;
        while (ReadFile(child_out_read, buffer, sizeof buffer, &n, nullptr) && n > 0) {
            result.output.append(buffer, n);
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result.exit_code = static_cast<int>(code);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(child_out_read);
    return result;
}
