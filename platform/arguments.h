#pragma once

// The command line of a tool, in the program's UTF-8. On Windows main's argv
// is in the ANSI code page, which turns every letter it lacks into '?' and
// so names a different file; the wide command line has them all.

#include <string>
#include <vector>

struct ProgramArguments {
    std::vector<std::string> text; // the program's name first
    std::vector<char*> pointers;   // into text, then a null, as main's argv
};

// Fills arguments from main's own and points argc and argv at them; false
// when the command line cannot be read.
bool read_program_arguments(int* argc, char*** argv, ProgramArguments* arguments);
