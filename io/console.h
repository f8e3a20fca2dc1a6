#pragma once

// Console text of the patcher. Fixed messages are stored in Windows-1252 and
// shown on a console that uses code page 850.

// Windows-1252 byte -> code page 850 byte; 0x00 for characters the console
// cannot show, which ends the printed text there.
extern const unsigned char CONSOLE_TRANSLATION[256];

// Prints a fixed message, translated through CONSOLE_TRANSLATION; a percent
// sign in it is printed literally.
void print_console_text(const char* text);

// Prints a message with placeholders through formatted output.
void print_console_format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints a message whose one "%s" stands for a name (a path in UTF-8): the
// text around it as it is, the name in the console's encoding. Nothing is
// allocated, so it works when memory has run out.
void print_console_name(const char* message, const char* name);
