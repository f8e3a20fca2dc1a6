#include "platform/console.h"

#include <cstdio>

void write_console_cp850(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}
