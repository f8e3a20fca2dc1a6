#pragma once

// The player's console. Fixed texts are prepared as code page 850 bytes; this
// layer shows them as the console expects them.

// Writes code page 850 bytes to standard output as the console shows them.
void write_console_cp850(const char* text);
