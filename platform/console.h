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

// Makes sure standard input, output and error are open, on the null device
// where the program was started without them: a file the program opens
// would otherwise get one of their numbers, and the console text would be
// written into it. First thing in main, before any file is opened.
void open_standard_streams();
