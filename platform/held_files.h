#pragma once

// Inside the platform layer only: the temporary files this process created
// and still holds, by the path it created them under. A later open of that
// path is answered with the held file itself, so that whatever takes the
// name meanwhile (a link swapped in, a file renamed over it) never gets the
// run's writes, and the run never truncates a file that is not its own.

#include <cstdint>

// Remembers that path names the file holder holds; false when it cannot
// (the table is full, or memory ran out): the caller then gives the file up.
bool remember_held_file(const char* path, std::intptr_t holder);

// The holder of the file created under path, or -1 when path names none.
std::intptr_t find_held_file(const char* path);

// Forgets the entry of holder, before holder is closed.
void forget_held_file(std::intptr_t holder);
