#pragma once

// Runs a real program as a child process, the way a player starts it.

#include <filesystem>
#include <string>
#include <vector>

struct ProcessResult {
    bool started;
    int exit_code;
    std::string output; // everything the program wrote to standard output
};

// Starts program in folder with the given arguments, feeds it input on
// standard input (then end of input) and collects its standard output until
// it exits. With with_errors, standard error is collected into output too.
ProcessResult run_process(const std::string& program, const std::filesystem::path& folder,
                          const std::string& input, const std::vector<std::string>& arguments = {},
                          bool with_errors = false);
