#pragma once

// What a console message looks like on this platform's standard output.

#include <string>

// Converts an expected message written in UTF-8 to the bytes the program
// prints here: unchanged on Linux (the program writes UTF-8), code page 850
// with CR LF line ends on Windows (the C runtime's text mode).
std::string to_console(const std::string& utf8);

// Captures what the process itself writes to standard output.
struct StdoutCapture {
    int saved;
    std::string path;
};

StdoutCapture start_stdout_capture();
std::string finish_stdout_capture(StdoutCapture* capture);
