#pragma once

// Console text of the patcher. Fixed messages are stored in Windows-1252 and
// shown on a console that uses code page 850.

// Windows-1252 byte -> code page 850 byte; 0x00 for characters the console
// cannot show, which ends the printed text there.
extern const unsigned char CONSOLE_TRANSLATION[256];

// Prints a fixed message, translated through CONSOLE_TRANSLATION; a percent
// sign in it is printed literally.
void print_console_text(const char* text);

// Prints a message with placeholders through formatted output; the arguments'
// bytes (paths) are printed unchanged.
void print_console_format(const char* format, ...) __attribute__((format(printf, 1, 2)));
