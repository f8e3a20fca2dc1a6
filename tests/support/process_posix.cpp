#include "tests/support/process.h"

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

ProcessResult run_process(const std::string& program, const std::filesystem::path& folder,
                          const std::string& input, const std::vector<std::string>& arguments,
                          bool with_errors) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    ProcessResult result{false, -1, {}};
    int to_child[2];
    int from_child[2];
    if (pipe(to_child) != 0 || pipe(from_child) != 0) {
        return result;
    }
    std::signal(SIGPIPE, SIG_IGN);
    const pid_t child = fork();
    if (child == 0) {
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        if (with_errors) {
            dup2(from_child[1], 2);
        }
        close(to_child[0]);
        close(to_child[1]);
        close(from_child[0]);
        close(from_child[1]);
        if (chdir(folder.c_str()) != 0) {
            _exit(126);
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(to_child[0]);
    close(from_child[1]);
    if (child < 0) {
        close(to_child[1]);
        close(from_child[0]);
        return result;
    }
    result.started = true;
    // The program reads its input only at the very end; a few bytes fit the pipe.
    if (!input.empty() && write(to_child[1], input.data(), input.size()) < 0) {
        result.started = false;
    }
    close(to_child[1]);
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(from_child[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    close(from_child[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}
