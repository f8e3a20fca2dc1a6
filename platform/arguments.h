#pragma once

// The command line of a tool, in the program's UTF-8. On Windows main's argv
// is in the ANSI code page, which turns every letter it lacks into '?' and
// so names a different file; the wide command line has them all.

#include <string>
#include <vector>

// The arguments after the program's name; false when they cannot be read.
bool program_arguments(int argc, char** argv, std::vector<std::string>* arguments);
