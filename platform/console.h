#pragma once

// The player's console. Fixed texts are prepared as code page 850 bytes; this
// layer shows them as the console expects them.

// Writes code page 850 bytes to standard output as the console shows them.
void write_console_cp850(const char* text);

// Writes a name (a path, in the program's UTF-8) to standard output in the
// bytes the console shows it by: on Windows code page 850, with '?' for each
// character it lacks (a Japanese name shows as question marks, though the
// file is still found and written); elsewhere the name's own bytes.
void write_console_name(const char* name);
