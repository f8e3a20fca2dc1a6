#pragma once

// Resumable depth-first search of the tree below the current directory. It
// stays below it: folder links are not entered, and only files (links to
// files included) are returned, never a pipe, device or socket.

#include <string>

// Open listings the walk can hold: the start directory and 255 levels below.
constexpr int FIND_HANDLE_SLOTS = 256;

// Finds the next file whose lower-cased extension equals extension ("*"
// matches every file) and writes its full path into result: returns 1, or 0
// once the walk is exhausted or the start directory cannot be listed. Each
// call resumes where the previous one stopped; the walk moves the process's
// current directory, which callers must leave alone between calls.
int find_next_file_by_extension(std::string* result, const char* extension);

// Gives up the walk under way: its listings are closed and the next call
// starts a fresh walk of the current directory.
void end_search();
